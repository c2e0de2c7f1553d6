#pragma once
// The settings test: does what an upload does, end to end, with a tiny probe picture, then
// checks that the web address serves it and removes it again. Each step is reported as it
// runs, with the likely cause in plain words when it fails. Nothing is stored.

#include <QDialog>
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <vector>

class QEventLoop;
class QLabel;
class QListWidget;
class QPushButton;
class TTransferClient;

class TSettingsTest : public QObject {
public:
    enum class TStep { Resolve, Connect, LogIn, Folder, Store, Web, Delete };
    enum class TState { Running, Passed, Failed, Skipped };
    static constexpr int StepCount = 7;

    // What the test needs besides the client, which holds the server, the account and the
    // folder already.
    struct TSettings {
        QString Host;
        QString Folder;
        QString User;
        QString WebAddress; // empty: the web step is skipped
    };

    TSettingsTest(TTransferClient& Client, TSettings Settings, QObject* Parent = nullptr);

    // Raised as a step starts and as it ends; Text is the outcome in words.
    std::function<void(TStep Step, TState State, const QString& Text)> OnStep;

    // Runs every step; false when one failed or the test was aborted. The caller's events keep
    // flowing meanwhile.
    bool Run();
    // Stops the running step at once; the probe is still removed when it reached the server.
    void Abort();
    bool Aborted() const { return FAborted; }

    // The hidden name the probe is stored under, unique per test.
    const QString& ProbeName() const { return FProbeName; }
    // The failure that ended the test, in words; empty when it passed.
    const QString& Failure() const { return FFailure; }

    static QString StepTitle(TStep Step);

private:
    void Report(TStep Step, TState State, const QString& Text = {});
    void Fail(TStep Step, const QString& Text);
    bool Resolve();
    bool Upload(const QString& LocalFile);
    bool CheckWeb(const QByteArray& Probe);
    void RemoveProbe();

    TTransferClient& FClient;
    const TSettings FSettings;
    QString FProbeName;
    QString FFailure;
    bool FAborted = false;
    bool FStored = false;
    QPointer<QEventLoop> FWait;
    std::function<void()> FAbortWait;
};

// The small results dialog: one line per step with a tick or a cross, the server's words under a
// failed one, and Abort that turns into Close once the test has ended.
class TSettingsTestDialog : public QDialog {
public:
    explicit TSettingsTestDialog(QWidget* Parent);

    void Show(TSettingsTest::TStep Step, TSettingsTest::TState State, const QString& Text);
    // The test has ended: the summary below the steps, Abort becomes Close.
    void Finish(bool Passed, const QString& Failure);
    std::function<void()> OnAbort;

    // The lines as shown, for whoever needs the dialog's text.
    QStringList Lines() const;
    QString Summary() const;

protected:
    void reject() override;

private:
    QListWidget* FSteps;
    QLabel* FSummary;
    QPushButton* FButton;
    bool FRunning = true;
};
