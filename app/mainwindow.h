#pragma once

#include "app/settingstest.h"

#include <QImage>
#include <QPointer>
#include <QStringList>
#include <QWidget>
#include <exception>
#include <functional>
#include <memory>
#include <vector>

class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QTimer;
class QToolButton;
class TBitmap;
class TDialogs;
class TEnhancedForm;
class TFtpClient;
class TSftpClient;
class TTransferClient;
class TdxfProgressBar;
class TForm2;
class TImage;
class TPasswordStore;
class THistoryWindow;
class TUploadHistory;
struct THistoryEntry;
class TSRTWAIN;
class TVHTML;
class TVKeey;
class TVReg;
class TVSnapShot;
class TVStatus;

// The main window: four pages, the status bar, the busy panel and the workflow behind them.
class TForm1 : public QWidget {
    Q_OBJECT
public:
    // Arguments are the command-line arguments after the program's name.
    TForm1(TDialogs& Dialogs, QStringList Arguments, QWidget* parent = nullptr);
    ~TForm1() override;

    // State of the workflow.
    int MaxWidth = 0;
    int MaxHeight = 0;
    int Quality = 0;
    bool DelayDone = false;
    bool ScanFinished = false;
    int UploadSize = 0;
    QString ImageFile;
    bool UserAbort = false;

    // The form's client area, 385 x 274 below the title bar that EnhancedForm1 paints: every
    // control sits on it, at its designer place.
    QWidget* ClientArea;

    // Controls, by their designer names.
    QTabWidget* PageControl1;
    QWidget* TabSheet1;
    QWidget* TabSheet2;
    QWidget* TabSheet3;
    QWidget* TabSheet4;

    QToolButton* BitBtn1;
    QToolButton* BitBtn2;
    QToolButton* BitBtn6;
    QToolButton* BitBtn3;
    QFrame* Bevel1;
    QToolButton* SpeedButton2;
    QCheckBox* CheckBox3;
    QCheckBox* CheckBox1;
    QCheckBox* CheckBox6; // a part of the screen instead of all of it
    QToolButton* SpeedButton1;
    QToolButton* SpeedButton5; // the upload history

    QGroupBox* GroupBox1;
    QLineEdit* Edit1;
    QLineEdit* Edit2;
    QLineEdit* Edit3;
    QLineEdit* Edit4;
    QLineEdit* Edit5;
    QToolButton* SpeedButton3;
    QToolButton* Button4;
    QCheckBox* CheckBox5;
    QComboBox* ComboBox1;
    QLineEdit* Edit11;

    QGroupBox* GroupBox2;
    QLineEdit* Edit7;
    QLineEdit* Edit8;
    QCheckBox* CheckBox4;
    QCheckBox* CheckBox2;
    QLineEdit* Edit9;
    QPushButton* BitBtn4;
    QPushButton* BitBtn5;
    QLineEdit* Edit10;

    QGroupBox* GroupBox3;
    QLineEdit* Edit6;
    QPushButton* Button1;
    QGroupBox* GroupBox4;
    QLabel* Panel2;
    TImage* Image6;
    QPushButton* Button2;
    QPushButton* Button3;

    TVStatus* VStatus1;
    QLabel* Label11;
    QLabel* Label12;

    QFrame* Panel1;
    TdxfProgressBar* CGauge1;
    QToolButton* SpeedButton4;

    TImage* Image2;
    TImage* Image5;

    TFtpClient* VFTP;
    TVReg* VReg1;
    TVKeey* VKeey1;
    QTimer* Timer1;
    QTimer* DelayTimer;
    QTimer* CommandLineTimer;
    TVHTML* VHTML1;
    TSRTWAIN* TWAIN1;
    TVSnapShot* VSnapShot1; // carried, never called
    TEnhancedForm* EnhancedForm1;

    // The maker's web address behind the status-bar label.
    static const char* const WebAddress;

    // Entry points (mainwindow.cpp).
    void FormCreate();
    void FormShow();
    bool FormCloseQuery();
    void SpeedButton1Click();
    void Timer1Timer();
    void DelayTimerTimer();
    void CommandLineTimerTimer();
    void Label12Click();

    // Scanner source (mainwindow_scanner.cpp).
    void BitBtn1Click();
    void SpeedButton2Click();
    void TWAIN1ScanReady(QObject* Sender);

    // Image sources (mainwindow_sources.cpp).
    void BitBtn2Click();
    void BitBtn6Click();
    void BitBtn3Click();
    void Button2Click();
    void GetCommandLineFile();
    void ProcessImageFile();
    static bool CheckImageFileType(const QString& Path);
    static QString FileExtension(const QString& Path);
    static bool LoadImageFile(TImage& Image, const QString& Path);
    void SnapShot(TImage& Image);
    // Files dropped on the file button, in the order of the drop list.
    void FilesDropped(const QStringList& Files);

    // Scaling, JPEG output and the preview (mainwindow_imaging.cpp).
    void UpdateData(QObject* Sender);
    void ResizeImage(const TImage& Source, TImage& Destination);
    void SaveToFile(const TImage& Image, const QString& Path) const;
    // Writes the image as a JPEG file of a new, unique name ("temp-<random>.jpg", mode 0600) in
    // the folder CreateFilename uses; returns its path.
    QString SaveToTempFile(const TImage& Image) const;
    QString CreateFilename(const QString& Name) const;
    void SavePicture();
    void PageControl1Change(int Index);
    void BitBtn4Click();
    TForm2* Form2;

    // Upload and remote delete (mainwindow_upload.cpp).
    void BitBtn5Click();
    void SpeedButton4Click();
    void VFTPProgress(QObject* Sender, qint64 Count, bool& Abort);
    void Button1Click();
    // Size of the file in bytes; 0 when it cannot be opened.
    static qint64 FileSizeOf(const QString& Path);
    // The picture's address on the web: Base with a "/" added when missing, then Name as a
    // path segment. Empty when Base is.
    static QString PictureAddress(const QString& Base, const QString& Name);
    // How the last upload or delete ended, and the server's reason when it failed.
    enum class TOutcome {
        None,
        Transmitted,
        NotTransmitted,
        Aborted,
        Deleted,
        NotFound,
        NotDeleted
    };
    TOutcome Outcome = TOutcome::None;
    QString OutcomeReason;
    // The last successful upload's web address (empty without "WebAddress").
    QString UploadAddress;
    // Called with the bytes sent so far while an upload transmits.
    std::function<void(qint64 Count)> OnUploadProgress;
    // The client speaking SSH, made when "Security" first asks for it.
    TSftpClient* VSFTP = nullptr;

    // Upload history (mainwindow_history.cpp).
    // Where the current picture came from: its file, "screenshot", "scanner" or "clipboard".
    QString PictureSource;
    // Records the upload that has just succeeded. A history that cannot be written is reported
    // once and never stops an upload.
    void RecordUpload();
    // The entry the last recorded upload made; 0 when none was recorded.
    qint64 UploadEntryId = 0;
    // Opened at the first use; the window's and the command line's.
    TUploadHistory& History();
    // Deletes the entry's file from its server as "&Delete" does, with the entry's host, port,
    // security, user, folder and name; the password is the FTP page's when the entry's server
    // and user are the page's. Marks the entry deleted when the server removed the file.
    bool DeleteUploadedFile(const THistoryEntry& Entry);
    // "Upload &History": the history window.
    void SpeedButton5Click();
    THistoryWindow* HistoryWindow = nullptr;

    // Settings page binding (mainwindow_settings.cpp).
    void LoadData(QObject* Sender);
    void SaveData(QObject* Sender);
    bool ResetData(QObject* Sender);
    void SpeedButton3Click();
    void Edit10Change();

    // "T&est" (mainwindow_settingstest.cpp): the FTP page's settings as they stand, tried end to
    // end with a probe picture, the steps shown in a results dialog.
    void Button4Click();
    // Runs the test; Observer sees every step. True when every step passed; Failure says why not.
    using TTestObserver =
        std::function<void(TSettingsTest::TStep, TSettingsTest::TState, const QString&)>;
    bool TestSettings(const TTestObserver& Observer, QString& Failure);
    // The results dialog of the last test, while it is open.
    QPointer<TSettingsTestDialog> TestDialog;
    // A choice of "Security : "; the port follows a change to or from SFTP.
    void ComboBox1Change(int Index);
    // Entries of "Security : ", stored as their index.
    enum TSecurityChoice { secPlain, secTlsIfOffered, secTlsRequired, secImplicitTls, secSftp };
    // Server certificates the user trusted although they could not be verified: one SHA-256
    // fingerprint per host and port, kept with the settings. Empty when there is none.
    QString TrustedCertificate(const QString& Host, const QString& Port) const;
    // Asks whether to trust such a certificate; Yes keeps its fingerprint for Host and Port,
    // replacing the one trusted before.
    bool AskTrustCertificate(const QString& Host, const QString& Port, const QString& Reason,
                             const QString& Subject, const QString& Issuer, const QString& Validity,
                             const QString& Fingerprint);
    // The "Host" value written on the first run and by "&Reset".
    static const char* const DefaultHost;

    // Busy state and waits (mainwindow.cpp).
    void BeginBusy();
    void EndBusy();
    void Delay(int Milliseconds);

    // Runs Handler; an error it raises goes to the standard error report.
    template <class F> void Guard(F&& Handler) {
        try {
            Handler();
        } catch (const std::exception& e) {
            ReportError(e);
        } catch (...) {
            ReportUnknownError();
        }
    }

    TDialogs& Dialogs() { return FDialogs; }

    // True while the file button takes drops.
    bool FileButtonAcceptsDrops() const;

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // A stored setting and the control that shows it.
    struct TStoredValue;

    // Creates every control of the window at its place (mainwindow_layout.cpp).
    void BuildLayout();
    // Gives the components their fixed settings and the controls their handlers.
    void SetUpComponents();
    void ConnectHandlers();
    void SetUpScanner();
    // The stored values in the order LoadData and SaveData go through them.
    std::vector<TStoredValue> StoredValues() const;
    bool FileButtonWndProc(QEvent* event);
    void ShowStop(const QString& Text);
    void ReportError(const std::exception& E);
    void ReportUnknownError();
    void SetUploadName(const QString& Name);
    // The client the FTP page's security setting chooses.
    TTransferClient& Client();
    // Host, port, directory, user and password from the FTP page into the client.
    void SetServer(TTransferClient& Target);
    // Stored settings of the FTP page that the upload reads.
    bool UsesSftp() const;
    bool PassiveMode() const;
    QString WebAddressSetting() const;
    void ShowAddress(const QString& Address);
    // Asked by the SSH client for a host it does not know; Accept when the user says Yes.
    void AskHostKey(const std::string& KeyType, const std::string& Fingerprint, bool& Accept);
    // Set while one upload or delete runs: the user turned a certificate or host key down. The
    // operation then ends without asking again.
    bool FTrustRefused = false;
    // The settings test while it runs: the abort button stops it.
    TSettingsTest* FSettingsTest = nullptr;
    // Passive mode, security and the certificates trusted for the server into VFTP, whose
    // certificate question goes to AskTrustCertificate.
    void SetConnectionSecurity();

    TDialogs& FDialogs;
    QStringList FArguments;
    bool FShown = false;
    // True while LoadData fills the controls.
    bool FLoading = false;
    // The entry of "Security : " before the latest change.
    int FSecurityShown = 0;
    // Where the scan lands before it becomes the current image.
    std::unique_ptr<TBitmap> FScanBitmap;
    // The FTP password: in the desktop keyring, or scrambled in the settings file.
    std::unique_ptr<TPasswordStore> FPasswords;
    // The server whose password "Password : " shows, as the keyring names it.
    QString FPasswordKey;
    QString PasswordKey() const;
    std::unique_ptr<TUploadHistory> FHistory;
};
