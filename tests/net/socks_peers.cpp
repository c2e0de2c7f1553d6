#include "socks_peers.h"

#include <QCoreApplication>
#include <QTimer>

using testsupport::PumpUntil;

namespace socktest {

EchoServer::EchoServer() {
    server_.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&server_, &QTcpServer::newConnection, [this] {
        while (QTcpSocket* s = server_.nextPendingConnection()) {
            ++connections_;
            s->setParent(&server_);
            QObject::connect(s, &QTcpSocket::readyRead, s, [this, s] {
                const QByteArray data = s->readAll();
                received_ += data;
                s->write(data);
                s->flush();
            });
            QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
        }
    });
}

EchoServer::~EchoServer() {
    server_.close();
}

ScriptedPeer::ScriptedPeer() {
    server_.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&server_, &QTcpServer::newConnection, [this] {
        while (QTcpSocket* s = server_.nextPendingConnection()) {
            s->setParent(&server_);
            sock_ = s;
            received_.clear();
            peerClosed_ = false;
            QObject::connect(s, &QTcpSocket::readyRead, s,
                             [this, s] { received_ += s->readAll(); });
            QObject::connect(s, &QTcpSocket::disconnected, s, [this] { peerClosed_ = true; });
        }
    });
}

ScriptedPeer::~ScriptedPeer() {
    server_.close();
}

bool ScriptedPeer::waitConnected(int timeoutMs) {
    return PumpUntil([this] { return connected(); }, timeoutMs);
}

void ScriptedPeer::write(const QByteArray& bytes) {
    if (!sock_) return;
    sock_->write(bytes);
    sock_->flush();
    PumpUntil([this] { return !sock_ || sock_->bytesToWrite() == 0; }, 2000);
}

bool ScriptedPeer::waitReceived(int count, int timeoutMs) {
    return PumpUntil([this, count] { return received_.size() >= count; }, timeoutMs);
}

void ScriptedPeer::close() {
    if (sock_) {
        sock_->flush();
        sock_->disconnectFromHost();
    }
}

ScriptedSocksProxy::ScriptedSocksProxy() {
    server_.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&server_, &QTcpServer::newConnection, [this] {
        while (QTcpSocket* s = server_.nextPendingConnection()) {
            ++connections_;
            s->setParent(&server_);
            if (client_) { // one client at a time; later ones are refused
                s->abort();
                continue;
            }
            client_ = s;
            QObject::connect(s, &QTcpSocket::readyRead, s, [this] { onReadyRead(); });
            QObject::connect(s, &QTcpSocket::disconnected, s, [this] {
                clientClosed_ = true;
                if (relay_) relay_->disconnectFromHost();
            });
        }
    });
}

ScriptedSocksProxy::~ScriptedSocksProxy() {
    if (relay_) relay_->abort();
    server_.close();
}

void ScriptedSocksProxy::onReadyRead() {
    const QByteArray data = client_->readAll();
    received_ += data;
    pending_ += data;
    runSteps();
}

void ScriptedSocksProxy::runSteps() {
    while (step_ < steps_.size()) {
        ProxyStep& st = steps_[step_];
        const int len = st.complete(pending_);
        if (len <= 0 || len > pending_.size()) return;
        messages_.append(pending_.left(len));
        pending_.remove(0, len);
        ++step_;
        // Write the chunks with pauses between them; the next step waits for the client only
        // after the whole reply is out, as a real proxy would.
        QList<QByteArray> chunks = st.reply;
        const int gap = st.gapMs;
        const bool last = step_ == steps_.size();
        if (gap <= 0 || chunks.size() <= 1) {
            for (const QByteArray& c : chunks)
                client_->write(c);
            client_->flush();
            if (last) finish();
            continue;
        }
        auto writeNext = std::make_shared<std::function<void(int)>>();
        QPointer<QTcpSocket> c = client_;
        *writeNext = [this, c, chunks, gap, last, writeNext](int i) {
            if (!c) return;
            c->write(chunks[i]);
            c->flush();
            if (i + 1 < chunks.size())
                QTimer::singleShot(gap, c, [writeNext, i] { (*writeNext)(i + 1); });
            else if (last)
                finish();
        };
        (*writeNext)(0);
        return;
    }
    if (relay_ && relay_->state() == QAbstractSocket::ConnectedState && !pending_.isEmpty()) {
        relay_->write(pending_);
        pending_.clear();
    }
}

void ScriptedSocksProxy::finish() {
    if (!client_) return;
    switch (end_) {
    case ProxyEnd::Stay:
        break;
    case ProxyEnd::Close:
        client_->flush();
        client_->disconnectFromHost();
        break;
    case ProxyEnd::Relay: {
        relay_ = std::make_unique<QTcpSocket>();
        QTcpSocket* r = relay_.get();
        QObject::connect(r, &QTcpSocket::connected, r, [this] {
            if (!pending_.isEmpty()) {
                relay_->write(pending_);
                pending_.clear();
            }
        });
        QObject::connect(r, &QTcpSocket::readyRead, r, [this] {
            if (client_) {
                client_->write(relay_->readAll());
                client_->flush();
            }
        });
        QObject::connect(r, &QTcpSocket::disconnected, r, [this] {
            if (client_) client_->disconnectFromHost();
        });
        r->connectToHost(QHostAddress::LocalHost, relayPort_);
        break;
    }
    }
}

int ScriptedSocksProxy::Socks4RequestLength(const QByteArray& b) {
    if (b.size() < 9) return 0;
    const int userEnd = b.indexOf('\0', 8);
    if (userEnd < 0) return 0;
    const bool is4a = b[4] == 0 && b[5] == 0 && b[6] == 0 && b[7] != 0;
    if (!is4a) return userEnd + 1;
    const int hostEnd = b.indexOf('\0', userEnd + 1);
    return hostEnd < 0 ? 0 : hostEnd + 1;
}

int ScriptedSocksProxy::Socks5GreetingLength(const QByteArray& b) {
    if (b.size() < 2) return 0;
    const int n = 2 + quint8(b[1]);
    return b.size() >= n ? n : 0;
}

int ScriptedSocksProxy::Socks5AuthLength(const QByteArray& b) {
    if (b.size() < 2) return 0;
    const int ulen = quint8(b[1]);
    if (b.size() < 3 + ulen) return 0;
    const int n = 3 + ulen + quint8(b[2 + ulen]);
    return b.size() >= n ? n : 0;
}

int ScriptedSocksProxy::Socks5RequestLength(const QByteArray& b) {
    if (b.size() < 5) return 0;
    int n = 0;
    switch (quint8(b[3])) {
    case 1:
        n = 10;
        break;
    case 3:
        n = 7 + quint8(b[4]);
        break;
    case 4:
        n = 22;
        break;
    default:
        return b.size();
    }
    return b.size() >= n ? n : 0;
}

std::function<int(const QByteArray&)> ScriptedSocksProxy::Exactly(int n) {
    return [n](const QByteArray& b) { return b.size() >= n ? n : 0; };
}

Microsocks::Microsocks(const QString& user, const QString& password) {
    port_ = testsupport::FreePort();
    QStringList args{"-i", "127.0.0.1", "-p", QString::number(port_)};
    if (!user.isEmpty()) args << "-u" << user << "-P" << password;
    proc_ = std::make_unique<testsupport::ServerProcess>("microsocks", args);
    started_ = proc_->started() && testsupport::WaitForListener(port_);
}

} // namespace socktest
