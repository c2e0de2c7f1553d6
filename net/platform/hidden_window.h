#pragma once
// Hidden windows and numbered window messages over Qt's event queue.
//
// A window is a QObject living in the thread that created it. Messages posted to it are
// delivered later, in order, on that thread, as a custom QEvent. A window handle is a
// number, never a pointer: a message posted to a destroyed window reaches no object.

#include <QtGlobal>
#include <qnamespace.h>

class QThread;
#include <atomic>
#include <functional>
#include <memory>
#include <string>

using HWND = quintptr; // 0: no window
using UINT = quint32;
using WPARAM = quintptr;
using LPARAM = qintptr;
using LRESULT = qintptr;

constexpr UINT WM_QUIT = 18;
constexpr UINT WM_USER = 1024;

struct TMessage {
    UINT Msg = 0;
    WPARAM WParam = 0;
    LPARAM LParam = 0;
    LRESULT Result = 0;
};

// Window procedure of a window class.
using TWindowProc = LRESULT (*)(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam);
// Procedure of a window made by AllocateHiddenWindow.
using TWndMethod = std::function<void(TMessage& Msg)>;

// Window classes: a name, a procedure and a number of bytes of per-window storage.
bool RegisterWindowClass(const std::string& ClassName, TWindowProc Proc, int ExtraBytes);
bool IsWindowClassRegistered(const std::string& ClassName);
// Fails while windows of the class exist.
bool UnregisterWindowClass(const std::string& ClassName);

// A window of a registered class in the calling thread; 0 when the class is unknown.
HWND CreateClassWindow(const std::string& ClassName);
// Destroys a window: pending messages are dropped, later posts fail.
bool DestroyWindow(HWND Window);
bool IsWindow(HWND Window);

// Per-window storage, one pointer-sized slot per 4 or 8 bytes; Index is a byte offset.
bool SetWindowLongPtr(HWND Window, int Index, void* Value);
void* GetWindowLongPtr(HWND Window, int Index);

// The answer of a window to a message it does not handle.
LRESULT DefWindowProc(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam);

// Posts a message; false when the window does not exist. Any thread may post.
bool PostMessage(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam);
// As PostMessage; the message is dropped unreceived when *Revoked is true at delivery.
bool PostRevocableMessage(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam,
                          std::shared_ptr<std::atomic_bool> Revoked);
// Runs the window procedure at once, in the calling thread.
LRESULT SendMessage(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam);
// Drops every message numbered Msg still queued for the window.
void RemovePostedMessages(HWND Window, UINT Msg);

// A window of its own class whose procedure is Method (the framework's general allocator).
HWND AllocateHiddenWindow(TWndMethod Method);
void DeallocateHiddenWindow(HWND Window);

// The calling thread's message queue.
// Posts a quit message to the calling thread.
void PostQuitMessage();
// Posts a quit message to another running QThread (one with an event dispatcher).
bool PostThreadQuitMessage(QThread* Thread);
// Dispatches what is waiting without blocking. QuitSeen is set when a quit message was met
// (it is not dispatched). True when anything was dispatched.
bool PeekAndDispatch(bool& QuitSeen);
// Blocking loop until a quit message.
void RunMessageLoop();
// Lets the thread sleep until the next event or TimeoutMs, handling what arrives.
void WaitForEvents(int TimeoutMs);

Qt::HANDLE CurrentThreadId();
