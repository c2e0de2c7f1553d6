#pragma once
// TFtpClient: the blocking face of TCustomFtpCli. Each call starts the asynchronous request
// and waits for its end while the thread's messages keep flowing, so sockets, timers and the
// window stay alive (and handlers may even call the client again).

#include "ftp/ftpcli.h"
#include "ftp/transferclient.h"

class TFtpClient : public TCustomFtpCli, public TTransferClient {
public:
    explicit TFtpClient(QObject* AOwner = nullptr);

    // The settings, through the transfer client's interface too.
    void SetHostName(const std::string& Value) override { TCustomFtpCli::SetHostName(Value); }
    void SetPort(const std::string& Value) override { TCustomFtpCli::SetPort(Value); }
    void SetUserName(const std::string& Value) override { TCustomFtpCli::SetUserName(Value); }
    void SetPassWord(const std::string& Value) override { TCustomFtpCli::SetPassWord(Value); }
    void SetHostDirName(const std::string& Value) override { TCustomFtpCli::SetHostDirName(Value); }
    void SetHostFileName(const std::string& Value) override {
        TCustomFtpCli::SetHostFileName(Value);
    }
    void SetLocalFileName(const std::string& Value) override {
        TCustomFtpCli::SetLocalFileName(Value);
    }
    void SetProgressHandler(::TTransferProgressHandler Handler) override {
        OnProgress = std::move(Handler);
    }
    qint64 SizeResult() const override { return TCustomFtpCli::SizeResult(); }
    const std::string& ErrorMessage() const override { return TCustomFtpCli::ErrorMessage(); }
    // Why the last blocking call failed: a look-up or connect failure and a time-out are told
    // apart from a server's refusal.
    TTransferFailure LastFailure() const override { return FFailure; }

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
    bool Abort() override;
    bool Receive();
    bool Transmit() override;
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
    bool Delete() override;
    bool Rmd();
    bool Rmdir();
    bool Syst();
    bool System();
    bool Size();
    bool FileSize() override;
    bool AbortXfer();
    bool Quote();
    bool DoQuote();
    bool RestGet();
    bool RestartGet();
    // One session: see TCustomFtpCli::UploadAsync.
    bool Upload() override;
    TUploadStage ReachedStage() const override { return UploadReached(); }

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
    // The time the user takes to answer does not count against the time-out.
    void TriggerCertificateQuestion(const TCertificateInfo& Info, bool& Trust) override;
    void TriggerRequestDone(quint16 Error) override;

    qint64 FDeadline = 0;

private:
    int FTimeout = 15;
    bool FMultiThreaded = false;
    TTransferFailure FFailure = TTransferFailure::None;
    // The first error the running request reported (a socket error code for a failed look-up
    // or connect, a reply code otherwise).
    quint16 FDoneError = 0;
    bool FTimedOut = false;
    bool FUploading = false;
};
