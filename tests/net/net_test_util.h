#pragma once
// Helpers shared by the socket tests: event recording and loopback listeners.

#include "net/wsocket.h"
#include "support/test_support.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace nettest {

// Records the events of a socket as short texts, in order.
struct TEventLog {
    std::vector<std::string> Events;
    void Add(const std::string& E) { Events.push_back(E); }
    bool Has(const std::string& E) const {
        for (const auto& X : Events)
            if (X == E) return true;
        return false;
    }
    int Count(const std::string& E) const {
        int N = 0;
        for (const auto& X : Events)
            N += X == E;
        return N;
    }
    std::string Joined() const {
        std::string S;
        for (const auto& X : Events)
            S += X + ";";
        return S;
    }
};

inline const char* StateName(TSocketState S) {
    static const char* const Names[] = {"invalid",   "opened",    "bound",     "connecting",
                                        "connected", "accepting", "listening", "closed"};
    return Names[S];
}

// Hooks the state, connect, close and sent events of Socket into Log.
inline void Watch(TCustomWSocket& Socket, TEventLog& Log) {
    Socket.OnChangeState = [&Log](QObject*, TSocketState O, TSocketState N) {
        Log.Add(std::string("state ") + StateName(O) + ">" + StateName(N));
    };
    Socket.OnSessionConnected = [&Log](QObject*, quint16 E) {
        Log.Add("connected " + std::to_string(E));
    };
    Socket.OnSessionClosed = [&Log](QObject*, quint16 E) {
        Log.Add("closed " + std::to_string(E));
    };
    Socket.OnDataSent = [&Log](QObject*, quint16 E) { Log.Add("sent " + std::to_string(E)); };
}

// A TWSocket listening on 127.0.0.1 with a system-chosen port; accepted connections go to
// new TWSocket objects (Dup) that collect what they receive.
class TLoopbackServer {
public:
    TLoopbackServer() {
        Listener.SetAddr("127.0.0.1");
        Listener.SetRemotePort("0");
        Listener.OnSessionAvailable = [this](QObject*, quint16) {
            const TSocket H = Listener.Accept();
            if (H == INVALID_SOCKET) return;
            auto* P = new TWSocket(&Holder); // owned by Holder, or released on close
            P->SetLingerOnOff(wsLingerOff);
            if (ReadAll)
                P->OnDataAvailable = [this, P](QObject*, quint16) {
                    char Buf[65536];
                    int N;
                    while ((N = P->Receive(Buf, sizeof(Buf))) > 0)
                        Received.append(Buf, std::size_t(N));
                    if (OnData) OnData(*P);
                };
            P->OnSessionClosed = [this, P](QObject*, quint16 E) {
                ++PeerCloses;
                LastPeerCloseError = E;
                if (ReleaseOnClose) {
                    Peers.erase(std::remove(Peers.begin(), Peers.end(), P), Peers.end());
                    P->Release();
                }
            };
            P->Dup(H);
            Peers.push_back(P);
            ++Accepted;
        };
        Listener.Listen();
    }
    std::string Port() { return Listener.GetXPort(); }

    QObject Holder;
    TWSocket Listener;
    std::vector<TWSocket*> Peers;
    std::string Received;
    std::function<void(TWSocket&)> OnData;
    bool ReadAll = true;
    bool ReleaseOnClose = false;
    int Accepted = 0;
    int PeerCloses = 0;
    int LastPeerCloseError = -1;
};

} // namespace nettest
