#pragma once

// An in-process FTP server on 127.0.0.1 that answers exactly what a test tells it to, byte for
// byte. Tests register a handler per command verb; the handler answers through the Session.
// Everything runs on the test's thread from the event loop that the client's waits pump.

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <functional>
#include <map>
#include <memory>

namespace ftptest {

class ScriptedFtpServer;

// One client connection on the control port, with at most one data connection.
class Session : public QObject {
    Q_OBJECT
public:
    Session(ScriptedFtpServer* server, QTcpSocket* control);

    // Writes bytes to the control connection at once.
    void Send(const QByteArray& bytes);
    // Writes bytes after ms milliseconds (each piece flushed on its own so it arrives apart).
    void SendLater(int ms, const QByteArray& bytes);
    void CloseControl();

    // Data connection: active mode connects to the address of the last PORT command;
    // passive mode accepts on the port announced by the last PASV. onReady runs once it is up.
    void OpenData(std::function<void()> onReady = {});
    void SendData(const QByteArray& bytes);
    void CloseData();
    // Calls onClosed once the client has closed the data connection (after all its data).
    void WhenDataClosed(std::function<void()> onClosed);
    bool DataOpen() const;
    QByteArray DataReceived() const { return dataIn_; }

    // Answers PASV with a listener of its own; the 227 text is built from it.
    quint16 ListenPassive();
    QByteArray PasvReply() const;

    QList<QByteArray> Commands() const { return commands_; }

private:
    friend class ScriptedFtpServer;
    void OnControlReadable();
    void OnDataReadable();
    void AttachData(QTcpSocket* socket);

    ScriptedFtpServer* server_;
    QPointer<QTcpSocket> control_;
    QByteArray lineBuffer_;
    QList<QByteArray> commands_;
    QByteArray portHost_;
    quint16 portPort_ = 0;
    std::unique_ptr<QTcpServer> pasvListener_;
    QPointer<QTcpSocket> data_;
    QByteArray dataIn_;
    bool dataClosed_ = false;
    std::function<void()> onDataReady_;
    std::function<void()> onDataClosed_;
};

class ScriptedFtpServer : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<void(Session& s, const QByteArray& arg)>;

    ScriptedFtpServer();
    ~ScriptedFtpServer() override;

    quint16 Port() const { return listener_.serverPort(); }

    // Bytes sent on accept; empty means nothing (the test sends the greeting itself).
    void SetGreeting(const QByteArray& bytes) { greeting_ = bytes; }
    // Handler for a command verb (upper case). Unknown verbs get "502 Not scripted.\r\n".
    void On(const QByteArray& verb, Handler handler) { handlers_[verb] = std::move(handler); }
    // A handler that answers with fixed bytes.
    void Reply(const QByteArray& verb, const QByteArray& bytes);
    // USER/PASS/TYPE/CWD/QUIT answered like a plain server.
    void ScriptLogin();

    // Every command line received by any session, without its line end.
    QList<QByteArray> Commands() const { return commands_; }
    int Connections() const { return connections_; }
    Session* LastSession() const { return sessions_.isEmpty() ? nullptr : sessions_.last(); }

private:
    friend class Session;
    void Dispatch(Session& s, const QByteArray& line);

    QTcpServer listener_;
    QByteArray greeting_ = "220 Scripted server ready.\r\n";
    std::map<QByteArray, Handler> handlers_;
    QList<QByteArray> commands_;
    QList<QPointer<Session>> sessions_;
    int connections_ = 0;
};

} // namespace ftptest
