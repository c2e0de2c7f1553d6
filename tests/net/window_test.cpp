// Hidden windows, posted messages, the message pump and sockets in a worker thread.

#include "net/platform/hidden_window.h"
#include "net/wsocket.h"
#include "net/wsocket_winsock.h"
#include "net_test_util.h"
#include "support/test_support.h"

#include <QThread>
#include <atomic>
#include <gtest/gtest.h>

using namespace nettest;
using testsupport::PumpFor;
using testsupport::PumpUntil;

TEST(HiddenWindow, MessagesArriveLaterAndInOrder) {
    std::vector<std::pair<UINT, WPARAM>> Got;
    const HWND W = AllocateHWnd([&](TMessage& M) { Got.emplace_back(M.Msg, M.WParam); });
    ASSERT_NE(W, 0u);
    for (WPARAM I = 0; I < 5; ++I)
        ASSERT_TRUE(PostMessage(W, 1100 + UINT(I % 2), I, 0));
    EXPECT_TRUE(Got.empty()) << "posting never delivers inside the call";
    ASSERT_TRUE(PumpUntil([&] { return Got.size() == 5; }));
    for (WPARAM I = 0; I < 5; ++I) {
        EXPECT_EQ(Got[I].first, 1100 + UINT(I % 2));
        EXPECT_EQ(Got[I].second, I);
    }
    DeallocateHWnd(W);
}

TEST(HiddenWindow, ReleasedWindowReceivesNothing) {
    int Got = 0;
    const HWND W = AllocateHWnd([&](TMessage&) { ++Got; });
    PostMessage(W, 1200, 0, 0);
    DeallocateHWnd(W);
    EXPECT_FALSE(IsWindow(W));
    EXPECT_FALSE(PostMessage(W, 1200, 0, 0));
    PumpFor(30);
    EXPECT_EQ(Got, 0) << "the queued message was dropped with the window";
}

TEST(HiddenWindow, RemovePostedMessagesDropsOneNumberOnly) {
    std::vector<UINT> Got;
    const HWND W = AllocateHWnd([&](TMessage& M) { Got.push_back(M.Msg); });
    PostMessage(W, 1300, 0, 0);
    PostMessage(W, 1301, 0, 0);
    PostMessage(W, 1300, 0, 0);
    RemovePostedMessages(W, 1300);
    PumpFor(30);
    EXPECT_EQ(Got, std::vector<UINT>{1301});
    DeallocateHWnd(W);
}

TEST(HiddenWindow, SocketWindowWithoutObjectGoesToDefault) {
    const HWND W = XSocketAllocateHWnd(nullptr);
    ASSERT_NE(W, 0u);
    EXPECT_EQ(GetWindowLongPtr(W, 0), nullptr);
    EXPECT_EQ(SendMessage(W, MsgTestException, 0, 0), 0) << "no object: default procedure";
    PostMessage(W, MsgSocketEvent, 3, 1);
    PumpFor(20);
    EXPECT_TRUE(XSocketDeallocateHWnd(W));
    EXPECT_FALSE(XSocketDeallocateHWnd(W));
}

TEST(HiddenWindow, WindowClassRegistration) {
    {
        TWSocket S;
        EXPECT_TRUE(IsWindowClassRegistered("XSocketWindowClass"));
        EXPECT_NE(S.GetWindowHandle(), 0u);
        EXPECT_EQ(GetWindowLongPtr(S.GetWindowHandle(), 0), static_cast<QObject*>(&S));
    }
    EXPECT_FALSE(IsWindowClassRegistered("XSocketWindowClass"))
        << "the last socket unregisters the class";
}

TEST(MessagePump, ProcessMessagesAndQuit) {
    TWSocket S;
    S.SetMultiThreaded(true);
    int Got = 0;
    const HWND W = AllocateHWnd([&](TMessage&) { ++Got; });
    PostMessage(W, 1400, 0, 0);
    PostMessage(W, 1400, 0, 0);
    S.ProcessMessages();
    EXPECT_EQ(Got, 2);
    EXPECT_FALSE(S.IsTerminated());
    EXPECT_FALSE(S.ProcessMessage()) << "queue empty";
    PostQuitMessage();
    PostMessage(W, 1400, 0, 0);
    S.ProcessMessages();
    EXPECT_TRUE(S.IsTerminated());
    EXPECT_EQ(Got, 3);
    DeallocateHWnd(W);
}

TEST(MessagePump, TestExceptionReachesBgException) {
    TWSocket S;
    std::string Seen;
    S.OnBgException = [&](QObject*, const std::exception& E, bool& CanClose) {
        Seen = E.what();
        CanClose = false;
    };
    PostMessage(S.GetWindowHandle(), MsgTestException, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return !Seen.empty(); }));
    EXPECT_EQ(Seen, "Test exception in WSocket");
}

TEST(MessagePump, ThreadAttachAndDetachErrors) {
    TWSocket S;
    std::string Msg;
    try {
        S.ThreadAttach();
    } catch (const ESocketException& E) {
        Msg = E.what();
    }
    EXPECT_EQ(Msg, "Cannot attach when not detached");

    std::string FromOther;
    QThread* T = QThread::create([&] {
        try {
            S.ThreadDetach();
        } catch (const ESocketException& E) {
            FromOther = E.what();
        }
    });
    T->start();
    T->wait();
    delete T;
    EXPECT_EQ(FromOther, "Cannot detach from other thread");

    S.ThreadDetach();
    EXPECT_EQ(S.GetWindowHandle(), 0u);
    S.ThreadAttach();
    EXPECT_NE(S.GetWindowHandle(), 0u);
}

// A socket created in a worker thread with its own loop: it connects to a server in the
// main thread, receives an echo and ends the loop with a quit message.
TEST(MessagePump, MultiThreadedSocketInWorker) {
    TLoopbackServer Server;
    const std::string Port = Server.Port();
    std::string Reply;
    std::atomic_bool Done{false};
    Qt::HANDLE WorkerId = nullptr, EventThread = nullptr;
    QThread* T = QThread::create([&] {
        TWSocket S;
        S.SetMultiThreaded(true);
        WorkerId = QThread::currentThreadId();
        S.SetAddr("127.0.0.1");
        S.SetRemotePort(Port);
        S.OnSessionConnected = [&](QObject*, quint16 E) {
            EventThread = QThread::currentThreadId();
            if (E == 0) S.SendStr("ping");
        };
        S.OnDataAvailable = [&](QObject*, quint16) {
            Reply += S.ReceiveStr();
            if (Reply.size() >= 4) PostQuitMessage();
        };
        S.Connect();
        S.MessageLoop();
        EXPECT_TRUE(S.IsTerminated());
        S.Close();
        Done = true;
    });
    Server.OnData = [&](TWSocket& Peer) { Peer.SendStr(Server.Received); };
    T->start();
    ASSERT_TRUE(PumpUntil([&] { return Done.load(); }, 10000));
    T->wait();
    delete T;
    EXPECT_EQ(Reply, "ping");
    EXPECT_EQ(EventThread, WorkerId) << "events run on the owning thread";
}

// A connected socket detached from the main thread and attached in a worker keeps its
// connection; its events then run in the worker.
TEST(MessagePump, DetachedSocketMovesToAWorker) {
    TLoopbackServer Server;
    TWSocket S;
    S.SetAddr("127.0.0.1");
    S.SetRemotePort(Server.Port());
    S.Connect();
    ASSERT_TRUE(PumpUntil([&] { return S.State() == wsConnected && Server.Peers.size() == 1; }));
    S.ThreadDetach();
    EXPECT_EQ(S.GetWindowHandle(), 0u);

    std::string Got;
    Qt::HANDLE EventThread = nullptr, WorkerId = nullptr;
    std::atomic_bool Attached{false}, Finished{false};
    QThread* T = QThread::create([&] {
        WorkerId = QThread::currentThreadId();
        S.SetMultiThreaded(true);
        S.OnDataAvailable = [&](QObject*, quint16) {
            EventThread = QThread::currentThreadId();
            Got += S.ReceiveStr();
            if (Got.size() >= 5) PostQuitMessage();
        };
        S.ThreadAttach();
        Attached = true;
        S.MessageLoop();
        S.ThreadDetach();
        Finished = true;
    });
    T->start();
    ASSERT_TRUE(PumpUntil([&] { return Attached.load(); }));
    Server.Peers[0]->SendStr("moved");
    ASSERT_TRUE(PumpUntil([&] { return Finished.load(); }, 10000));
    T->wait();
    delete T;
    EXPECT_EQ(Got, "moved");
    EXPECT_EQ(EventThread, WorkerId);
    // Back in the main thread.
    S.SetMultiThreaded(false);
    S.OnDataAvailable = nullptr;
    S.ThreadAttach();
    S.Close();
    EXPECT_EQ(S.State(), wsClosed);
}
