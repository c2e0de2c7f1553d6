#pragma once
// TFtpClient: the blocking face of TCustomFtpCli. Each call starts the asynchronous request
// and waits for its end while the thread's messages keep flowing, so sockets, timers and the
// window stay alive (and handlers may even call the client again).

#include "ftp/ftpcli.h"

class TFtpClient : public TCustomFtpCli {
public:
    explicit TFtpClient(QObject* AOwner = nullptr);

    // Seconds a wait may last; progress pushes the limit back. 0 or less: no limit.
    int Timeout() const { return FTimeout; }
    void SetTimeout(int Value) { FTimeout = Value; }
    // Pump only the socket layer's messages (for a client living in a worker thread).
    bool MultiThreaded() const { return FMultiThreaded; }
    void SetMultiThreaded(bool Value);

    bool Open();
    bool User();
    bool Pass();
    bool Connect();
    bool Cwd();
    bool Pwd();
    bool CDup();
    bool TypeSet();
    bool TypeBinary();
    bool TypeAscii();
    bool Get();
    bool Put();
    bool RestPut();
    bool RestartPut();
    bool Append();
    bool Quit();
    bool Abort();
    bool Receive();
    bool Transmit();
    bool AppendFile();
    bool Dir();
    bool Directory();
    bool Ls();
    bool List();
    bool Mkd();
    bool Mkdir();
    bool Ren();
    bool Rename();
    bool Dele();
    bool Delete();
    bool Rmd();
    bool Rmdir();
    bool Syst();
    bool System();
    bool Size();
    bool FileSize();
    bool AbortXfer();
    bool Quote();
    bool DoQuote();
    bool RestGet();
    bool RestartGet();

    void MessagePump();

    // The program's terminate request (also seen when the application is told to quit):
    // every blocking wait then gives up as on a time-out.
    static void SetApplicationTerminated(bool Value);
    static bool ApplicationTerminated();

protected:
    // Runs the asynchronous operation, then waits; false on any failure, never throws.
    virtual bool Synchronize(TFtpNextProc Proc);
    virtual bool WaitUntilReady();
    bool Progress() override;

    qint64 FDeadline = 0;

private:
    int FTimeout = 15;
    bool FMultiThreaded = false;
};
