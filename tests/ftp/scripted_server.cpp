#include "scripted_server.h"

#include <QTimer>

namespace ftptest {

Session::Session(ScriptedFtpServer* server, QTcpSocket* control)
    : QObject(server), server_(server), control_(control) {
    control->setParent(this);
    connect(control, &QTcpSocket::readyRead, this, &Session::OnControlReadable);
}

void Session::Send(const QByteArray& bytes) {
    if (!control_) return;
    control_->write(bytes);
    control_->flush();
}

void Session::SendLater(int ms, const QByteArray& bytes) {
    QTimer::singleShot(ms, this, [this, bytes] { Send(bytes); });
}

void Session::CloseControl() {
    if (control_) control_->disconnectFromHost();
}

void Session::OnControlReadable() {
    lineBuffer_ += control_->readAll();
    for (;;) {
        const int end = lineBuffer_.indexOf("\r\n");
        if (end < 0) break;
        const QByteArray line = lineBuffer_.left(end);
        lineBuffer_.remove(0, end + 2);
        commands_.append(line);
        server_->commands_.append(line);
        server_->Dispatch(*this, line);
    }
}

void Session::OpenData(std::function<void()> onReady) {
    onDataReady_ = std::move(onReady);
    dataIn_.clear();
    dataClosed_ = false;
    if (pasvListener_) {
        auto take = [this] {
            if (QTcpSocket* s = pasvListener_->nextPendingConnection()) AttachData(s);
        };
        if (pasvListener_->hasPendingConnections())
            take();
        else
            connect(pasvListener_.get(), &QTcpServer::newConnection, this, take,
                    Qt::SingleShotConnection);
        return;
    }
    auto* s = new QTcpSocket(this);
    connect(s, &QTcpSocket::connected, this, [this, s] { AttachData(s); });
    s->connectToHost(QString::fromLatin1(portHost_), portPort_);
}

void Session::AttachData(QTcpSocket* socket) {
    socket->setParent(this);
    data_ = socket;
    connect(socket, &QTcpSocket::readyRead, this, &Session::OnDataReadable);
    connect(socket, &QTcpSocket::disconnected, this, [this] {
        OnDataReadable();
        dataClosed_ = true;
        if (onDataClosed_) std::exchange(onDataClosed_, {})();
    });
    if (onDataReady_) std::exchange(onDataReady_, {})();
}

void Session::OnDataReadable() {
    if (data_) dataIn_ += data_->readAll();
}

void Session::SendData(const QByteArray& bytes) {
    if (!data_) return;
    data_->write(bytes);
    data_->flush();
}

void Session::CloseData() {
    if (data_) data_->disconnectFromHost();
}

void Session::WhenDataClosed(std::function<void()> onClosed) {
    if (dataClosed_) {
        onClosed();
        return;
    }
    onDataClosed_ = std::move(onClosed);
}

bool Session::DataOpen() const {
    return data_ && data_->state() == QAbstractSocket::ConnectedState;
}

quint16 Session::ListenPassive() {
    pasvListener_ = std::make_unique<QTcpServer>();
    pasvListener_->listen(QHostAddress::LocalHost, 0);
    return pasvListener_->serverPort();
}

QByteArray Session::PasvReply() const {
    const quint16 p = pasvListener_ ? pasvListener_->serverPort() : 0;
    return "227 Entering Passive Mode (127,0,0,1," + QByteArray::number(p >> 8) + "," +
           QByteArray::number(p & 0xff) + ").\r\n";
}

ScriptedFtpServer::ScriptedFtpServer() {
    listener_.listen(QHostAddress::LocalHost, 0);
    connect(&listener_, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* s = listener_.nextPendingConnection()) {
            ++connections_;
            auto* session = new Session(this, s);
            sessions_.append(session);
            if (!greeting_.isEmpty()) session->Send(greeting_);
        }
    });
    // PORT is always understood: it only records where to connect.
    On("PORT", [](Session& s, const QByteArray& arg) {
        const QList<QByteArray> f = arg.split(',');
        if (f.size() != 6) {
            s.Send("501 Bad PORT.\r\n");
            return;
        }
        s.portHost_ = f[0] + "." + f[1] + "." + f[2] + "." + f[3];
        s.portPort_ = static_cast<quint16>(f[4].toInt() * 256 + f[5].toInt());
        s.Send("200 PORT ok.\r\n");
    });
}

ScriptedFtpServer::~ScriptedFtpServer() = default;

void ScriptedFtpServer::Reply(const QByteArray& verb, const QByteArray& bytes) {
    On(verb, [bytes](Session& s, const QByteArray&) { s.Send(bytes); });
}

void ScriptedFtpServer::ScriptLogin() {
    Reply("USER", "331 Password required.\r\n");
    Reply("PASS", "230 Logged in.\r\n");
    Reply("TYPE", "200 Type set.\r\n");
    Reply("CWD", "250 Directory changed.\r\n");
    On("QUIT", [](Session& s, const QByteArray&) {
        s.Send("221 Bye.\r\n");
        s.CloseControl();
    });
}

void ScriptedFtpServer::Dispatch(Session& s, const QByteArray& line) {
    const int blank = line.indexOf(' ');
    const QByteArray verb = (blank < 0 ? line : line.left(blank)).toUpper();
    const QByteArray arg = blank < 0 ? QByteArray() : line.mid(blank + 1);
    const auto it = handlers_.find(verb);
    if (it == handlers_.end()) {
        s.Send("502 Not scripted.\r\n");
        return;
    }
    it->second(s, arg);
}

} // namespace ftptest
