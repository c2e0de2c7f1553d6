#include "net/platform/hidden_window.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace {

// Each message number has its own event type, so that one number can be dropped from a
// window's queue without touching the others.
constexpr int MessageTypeBase = QEvent::User + 1;
constexpr UINT MaxTypedMessage = 60000;
constexpr int SharedMessageType = MessageTypeBase + MaxTypedMessage;

QEvent::Type TypeOf(UINT Msg) {
    return static_cast<QEvent::Type>(Msg < MaxTypedMessage ? MessageTypeBase + int(Msg)
                                                           : SharedMessageType);
}

bool IsMessageType(int Type) {
    return Type >= MessageTypeBase && Type <= SharedMessageType;
}

class TMessageEvent : public QEvent {
public:
    TMessageEvent(UINT Msg, WPARAM W, LPARAM L, std::shared_ptr<std::atomic_bool> Revoked)
        : QEvent(TypeOf(Msg)), Msg(Msg), WParam(W), LParam(L), Revoked(std::move(Revoked)) {}
    UINT Msg;
    WPARAM WParam;
    LPARAM LParam;
    std::shared_ptr<std::atomic_bool> Revoked;
};

struct TWindowClass {
    TWindowProc Proc = nullptr;
    int ExtraBytes = 0;
    int Windows = 0;
};

class THiddenWindow : public QObject {
public:
    HWND Handle = 0;
    std::string ClassName; // empty for AllocateHiddenWindow windows
    TWindowProc Proc = nullptr;
    TWndMethod Method;
    std::vector<void*> Extra;
    int Depth = 0;
    bool Dead = false;

    LRESULT Dispatch(UINT Msg, WPARAM W, LPARAM L) {
        if (Dead) return 0;
        ++Depth;
        LRESULT Result = 0;
        // The procedure may destroy this window; Dead then tells, and deletion waits.
        struct DepthGuard {
            THiddenWindow* W;
            ~DepthGuard() { --W->Depth; }
        } Guard{this};
        if (Method) {
            TMessage M{Msg, W, L, 0};
            const TWndMethod Local = Method; // survives a DeallocateHiddenWindow inside
            Local(M);
            Result = M.Result;
        } else if (Proc) {
            Result = Proc(Handle, Msg, W, L);
        }
        return Result;
    }

protected:
    bool event(QEvent* E) override {
        if (!IsMessageType(E->type())) return QObject::event(E);
        auto* M = static_cast<TMessageEvent*>(E);
        if (M->Revoked && M->Revoked->load()) return true;
        Dispatch(M->Msg, M->WParam, M->LParam);
        return true;
    }
};

struct TRegistry {
    std::mutex Lock;
    std::unordered_map<HWND, THiddenWindow*> Windows;
    std::map<std::string, TWindowClass> Classes;
    HWND NextHandle = 1;
};

TRegistry& Registry() {
    static TRegistry* R = new TRegistry; // lives until process end, windows may outlive main
    return *R;
}

thread_local int QuitCount = 0;

QAbstractEventDispatcher* Dispatcher() {
    QAbstractEventDispatcher* D = QAbstractEventDispatcher::instance();
    if (!D) {
        QEventLoop MakeOne; // an adopted thread gets its dispatcher with its first loop
        D = QAbstractEventDispatcher::instance();
    }
    return D;
}

HWND Insert(THiddenWindow* W) {
    TRegistry& R = Registry();
    std::lock_guard L(R.Lock);
    W->Handle = R.NextHandle++;
    R.Windows.emplace(W->Handle, W);
    return W->Handle;
}

THiddenWindow* Find(HWND Window) {
    TRegistry& R = Registry();
    std::lock_guard L(R.Lock);
    auto It = R.Windows.find(Window);
    return It == R.Windows.end() ? nullptr : It->second;
}

} // namespace

bool RegisterWindowClass(const std::string& ClassName, TWindowProc Proc, int ExtraBytes) {
    if (ClassName.empty() || !Proc || ExtraBytes < 0) return false;
    TRegistry& R = Registry();
    std::lock_guard L(R.Lock);
    if (R.Classes.count(ClassName)) return false;
    R.Classes[ClassName] = TWindowClass{Proc, ExtraBytes, 0};
    return true;
}

bool IsWindowClassRegistered(const std::string& ClassName) {
    TRegistry& R = Registry();
    std::lock_guard L(R.Lock);
    return R.Classes.count(ClassName) != 0;
}

bool UnregisterWindowClass(const std::string& ClassName) {
    TRegistry& R = Registry();
    std::lock_guard L(R.Lock);
    auto It = R.Classes.find(ClassName);
    if (It == R.Classes.end() || It->second.Windows > 0) return false;
    R.Classes.erase(It);
    return true;
}

HWND CreateClassWindow(const std::string& ClassName) {
    TWindowClass Class;
    {
        TRegistry& R = Registry();
        std::lock_guard L(R.Lock);
        auto It = R.Classes.find(ClassName);
        if (It == R.Classes.end()) return 0;
        ++It->second.Windows;
        Class = It->second;
    }
    auto* W = new THiddenWindow; // owned by the registry until DestroyWindow
    W->ClassName = ClassName;
    W->Proc = Class.Proc;
    W->Extra.assign(std::size_t(Class.ExtraBytes + int(sizeof(void*)) - 1) / sizeof(void*),
                    nullptr);
    return Insert(W);
}

HWND AllocateHiddenWindow(TWndMethod Method) {
    auto* W = new THiddenWindow; // owned by the registry until DeallocateHiddenWindow
    W->Method = std::move(Method);
    return Insert(W);
}

bool DestroyWindow(HWND Window) {
    THiddenWindow* W = nullptr;
    {
        TRegistry& R = Registry();
        std::lock_guard L(R.Lock);
        auto It = R.Windows.find(Window);
        if (It == R.Windows.end()) return false;
        W = It->second;
        R.Windows.erase(It);
        if (!W->ClassName.empty()) {
            auto C = R.Classes.find(W->ClassName);
            if (C != R.Classes.end()) --C->second.Windows;
        }
    }
    W->Dead = true;
    W->Proc = nullptr;
    QCoreApplication::removePostedEvents(W);
    if (W->Depth > 0 || W->thread() != QThread::currentThread())
        W->deleteLater();
    else
        delete W;
    return true;
}

void DeallocateHiddenWindow(HWND Window) {
    DestroyWindow(Window);
}

bool IsWindow(HWND Window) {
    return Find(Window) != nullptr;
}

bool SetWindowLongPtr(HWND Window, int Index, void* Value) {
    THiddenWindow* W = Find(Window);
    if (!W || Index < 0 || Index % int(sizeof(void*)) != 0) return false;
    const std::size_t Slot = std::size_t(Index) / sizeof(void*);
    if (Slot >= W->Extra.size()) return false;
    W->Extra[Slot] = Value;
    return true;
}

void* GetWindowLongPtr(HWND Window, int Index) {
    THiddenWindow* W = Find(Window);
    if (!W || Index < 0 || Index % int(sizeof(void*)) != 0) return nullptr;
    const std::size_t Slot = std::size_t(Index) / sizeof(void*);
    return Slot < W->Extra.size() ? W->Extra[Slot] : nullptr;
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM) {
    return 0;
}

bool PostRevocableMessage(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam,
                          std::shared_ptr<std::atomic_bool> Revoked) {
    TRegistry& R = Registry();
    // Held while posting so that the window cannot be deleted by another thread meanwhile.
    std::lock_guard L(R.Lock);
    auto It = R.Windows.find(Window);
    if (It == R.Windows.end()) return false;
    QCoreApplication::postEvent(It->second,
                                new TMessageEvent(Msg, WParam, LParam, std::move(Revoked)));
    return true;
}

bool PostMessage(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam) {
    return PostRevocableMessage(Window, Msg, WParam, LParam, nullptr);
}

LRESULT SendMessage(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam) {
    THiddenWindow* W = Find(Window);
    return W ? W->Dispatch(Msg, WParam, LParam) : 0;
}

void RemovePostedMessages(HWND Window, UINT Msg) {
    THiddenWindow* W = Find(Window);
    if (!W) return;
    if (Msg < MaxTypedMessage) QCoreApplication::removePostedEvents(W, TypeOf(Msg));
}

namespace {
void QueueQuit(QAbstractEventDispatcher* D) {
    QMetaObject::invokeMethod(
        D,
        [] {
            ++QuitCount;
            if (auto* Here = QAbstractEventDispatcher::instance()) Here->interrupt();
        },
        Qt::QueuedConnection);
}
} // namespace

void PostQuitMessage() {
    QueueQuit(Dispatcher());
}

bool PostThreadQuitMessage(QThread* Thread) {
    if (!Thread) return false;
    QAbstractEventDispatcher* D = QAbstractEventDispatcher::instance(Thread);
    if (!D) return false;
    QueueQuit(D);
    return true;
}

bool PeekAndDispatch(bool& QuitSeen) {
    const int Before = QuitCount;
    const bool Any = Dispatcher()->processEvents(QEventLoop::AllEvents);
    QuitSeen = QuitCount != Before;
    return Any || QuitSeen;
}

void RunMessageLoop() {
    const int Start = QuitCount;
    QAbstractEventDispatcher* D = Dispatcher();
    while (QuitCount == Start)
        D->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void WaitForEvents(int TimeoutMs) {
    QTimer WakeUp; // the dispatcher sleeps at most this long
    WakeUp.setSingleShot(true);
    WakeUp.start(TimeoutMs < 0 ? 0 : TimeoutMs);
    Dispatcher()->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

Qt::HANDLE CurrentThreadId() {
    return QThread::currentThreadId();
}
