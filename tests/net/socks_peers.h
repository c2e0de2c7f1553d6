#pragma once

// Loopback peers for the SOCKS and line-mode tests: an echo server, a plain scripted peer, a
// scripted SOCKS proxy that answers with exact (possibly malformed) byte sequences, and a
// microsocks process on a free port.

#include "support/test_support.h"

#include <QByteArray>
#include <QList>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <functional>
#include <memory>
#include <vector>

namespace socktest {

// Echoes every byte back on every accepted connection.
class EchoServer {
public:
    EchoServer();
    ~EchoServer();
    quint16 port() const { return server_.serverPort(); }
    int connections() const { return connections_; }
    QByteArray received() const { return received_; }

private:
    QTcpServer server_;
    int connections_ = 0;
    QByteArray received_;
};

// Accepts one connection at a time and lets the test write to it and read what arrived.
class ScriptedPeer {
public:
    ScriptedPeer();
    ~ScriptedPeer();
    quint16 port() const { return server_.serverPort(); }
    bool waitConnected(int timeoutMs = 5000);
    // Writes and flushes, then pumps until the bytes left this process.
    void write(const QByteArray& bytes);
    QByteArray received() const { return received_; }
    bool waitReceived(int count, int timeoutMs = 5000);
    void close();
    bool connected() const { return sock_ && sock_->state() == QAbstractSocket::ConnectedState; }
    bool peerClosed() const { return peerClosed_; }

private:
    QTcpServer server_;
    QPointer<QTcpSocket> sock_;
    QByteArray received_;
    bool peerClosed_ = false;
};

// One step of a proxy script: wait until `complete` reports a whole message in the bytes
// received so far (its length; 0 means wait for more), then write `reply`, one chunk at a time
// with `gapMs` between chunks so that each chunk arrives in a read of its own.
struct ProxyStep {
    std::function<int(const QByteArray&)> complete;
    QList<QByteArray> reply;
    int gapMs = 0;
};

enum class ProxyEnd { Stay, Close, Relay };

class ScriptedSocksProxy {
public:
    ScriptedSocksProxy();
    ~ScriptedSocksProxy();
    quint16 port() const { return server_.serverPort(); }
    void addStep(ProxyStep step) { steps_.push_back(std::move(step)); }
    // What happens after the last step: keep the connection, close it, or relay it to
    // 127.0.0.1:relayPort.
    void setEnd(ProxyEnd end, quint16 relayPort = 0) {
        end_ = end;
        relayPort_ = relayPort;
    }
    // Every byte the client sent, handshake and payload.
    QByteArray received() const { return received_; }
    // The bytes of each completed handshake message, in order.
    QList<QByteArray> messages() const { return messages_; }
    int connections() const { return connections_; }
    bool clientClosed() const { return clientClosed_; }

    // Lengths of whole SOCKS messages at the front of a buffer (0: incomplete).
    static int Socks4RequestLength(const QByteArray& b);
    static int Socks5GreetingLength(const QByteArray& b);
    static int Socks5AuthLength(const QByteArray& b);
    static int Socks5RequestLength(const QByteArray& b);
    static std::function<int(const QByteArray&)> Exactly(int n);

private:
    void onReadyRead();
    void runSteps();
    void finish();

    QTcpServer server_;
    QPointer<QTcpSocket> client_;
    std::unique_ptr<QTcpSocket> relay_;
    std::vector<ProxyStep> steps_;
    size_t step_ = 0;
    QByteArray pending_;
    QByteArray received_;
    QList<QByteArray> messages_;
    ProxyEnd end_ = ProxyEnd::Stay;
    quint16 relayPort_ = 0;
    int connections_ = 0;
    bool clientClosed_ = false;
};

// microsocks on a free loopback port, optionally requiring a user name and password.
class Microsocks {
public:
    explicit Microsocks(const QString& user = {}, const QString& password = {});
    bool started() const { return started_; }
    quint16 port() const { return port_; }

private:
    quint16 port_ = 0;
    std::unique_ptr<testsupport::ServerProcess> proc_;
    bool started_ = false;
};

} // namespace socktest
