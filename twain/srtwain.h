#pragma once

// TSRTWAIN: takes one picture from a scanner through the TWAIN Data Source Manager, which is
// loaded at run time. Source management lives in srtwain_dsm.cpp, identity and error texts in
// srtwain_identity.cpp, acquisition and native transfer in srtwain_xfer.cpp.

#include "twain/apphook.h"
#include "twain/bitmap.h"
#include "twain/twain.h"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <source_location>
#include <stdexcept>
#include <string>

class ETwainError : public std::runtime_error {
public:
    explicit ETwainError(const std::string& Msg) : std::runtime_error(Msg) {}
    std::string Message() const { return what(); }
};

// The framework's assertion error: the text, then the source location in parentheses.
class EAssertionFailed : public std::runtime_error {
public:
    explicit EAssertionFailed(const std::string& Text,
                              std::source_location Where = std::source_location::current());
};

enum TTransferType { xfNative, xfMemory, xfFile };

enum TLanguageType {
    lgDutch,
    lgEnglish,
    lgFrench,
    lgGerman,
    lgAmerican,
    lgItalian,
    lgSpanish,
    lgNorwegian,
    lgFinnish,
    lgDanish,
    lgRussian,
    lgPortuguese,
    lgSwedish,
    lgPolish,
    lgGreek,
    lgTurkish
};

enum TCountryType {
    ctNetherlands,
    ctEngland,
    ctFrance,
    ctGermany,
    ctUSA,
    ctSpain,
    ctItaly,
    ctDenmark,
    ctFinland,
    ctNorway,
    ctRussia,
    ctPortugal,
    ctSweden,
    ctPoland,
    ctGreece,
    ctTurkey
};

enum TImageType {
    ffTIFF,
    ffPICT,
    ffBMP,
    ffXBM,
    ffJFIF,
    ffFPX,
    ffTIFFMULTI,
    ffPNG,
    ffSPIFF,
    ffEXIF,
    ffUNKNOWN
};

using TNotifyEvent = std::function<void(QObject* Sender)>;

class TSRTWAIN : public QObject {
    Q_OBJECT
public:
    // The manager's file name, looked for beside the program, then in the installed library folder.
    static const char* const DsmLibraryName;

    explicit TSRTWAIN(QObject* AOwner = nullptr);
    ~TSRTWAIN() override;

    // Properties
    TTransferType Destination() const { return FDestination; }
    void SetDestination(TTransferType Value) { FDestination = Value; }
    bool TwainDriverFound() { return IsTwainDriverAvailable(); }
    QString Productname() const;
    void SetProductname(const QString& Value);
    QString Manufacturer() const;
    void SetManufacturer(const QString& Value);
    QString ProductFamily() const;
    void SetProductFamily(const QString& Value);
    TLanguageType Language() const;
    void SetLanguage(TLanguageType Value);
    TCountryType Country() const;
    void SetCountry(TCountryType Value);
    bool ShowUI() const { return FShowUI; }
    void SetShowUI(bool Value) { FShowUI = Value; }
    Qt::CursorShape Cursor() const;
    void SetCursor(Qt::CursorShape Value);
    TImageType FileFormat() const { return static_cast<TImageType>(FFormat); }
    void SetFileFormat(TImageType Value);
    QString Filename() const;
    void SetFilename(const QString& Value);
    QString VersionInfo() const;
    void SetVersionInfo(const QString& Value);
    TW_UINT16 VersionMajor() const { return FAppId.Version.MajorNum; }
    void SetVersionMajor(TW_UINT16 Value) { FAppId.Version.MajorNum = Value; }
    TW_UINT16 VersionMinor() const { return FAppId.Version.MinorNum; }
    void SetVersionMinor(TW_UINT16 Value) { FAppId.Version.MinorNum = Value; }
    TNotifyEvent OnScanReady;

    // Identities as the manager sees them.
    const TW_IDENTITY& ApplicationIdentity() const { return FAppId; }
    const TW_IDENTITY& SourceIdentity() const { return FSourceId; }

    // Connection
    void InitTWAIN();
    void OpenDataSourceManager();
    void CloseDataSourceManager();
    void OpenDataSource();
    void CloseDataSource();
    void EnableDataSource();
    void DisableDataSource();
    bool IsDataSourceManagerOpen() const { return FDSMOpen; }
    bool IsDataSourceOpen() const { return FSourceOpen; }
    bool IsDataSourceEnabled() const { return FSourceEnabled; }
    void SelectDataSource();
    void SaveDefaultSourceEntry();
    void RestoreDefaultSourceEntry();
    bool IsTwainDriverAvailable();
    bool fLoadTwain();
    void fUnloadTwain();
    TW_UINT16 CallDataSourceManager(pTW_IDENTITY pDest, TW_UINT32 DG, TW_UINT16 DAT, TW_UINT16 MSG,
                                    TW_MEMREF pData);
    TW_UINT16 CallDataSource(TW_UINT32 DG, TW_UINT16 DAT, TW_UINT16 MSG, TW_MEMREF pData);
    void TwainCheckDataSourceManager(TW_UINT16 Res, const QString& Module);
    void TwainCheckDataSource(TW_UINT16 Res, const QString& Module);
    [[noreturn]] void RaiseLastDataSourceManagerCondition(const QString& Module);
    [[noreturn]] void RaiseLastDataSourceCondition(const QString& Module);
    static QString Condition2String(TW_UINT16 ConditionCode);
    bool ProcessSourceMessage(QEvent* Msg);
    virtual void fNewOnMessageHandler(QEvent* Msg, bool& Handled);

    // Acquisition
    void Acquire(TBitmap& Bitmap);
    void XferMech();
    bool fNativeXfer();
    bool fMemoryXfer();
    bool fFileXfer();
    virtual void ScanReady();

private:
    struct DlClose {
        void operator()(void* Handle) const;
    };
    [[noreturn]] void RaiseCondition(pTW_IDENTITY pDest, const QString& Module);
    void EndScanAfterFailure();

    TBitmap* FBitmap = nullptr;
    std::unique_ptr<void, DlClose> FLibrary;
    TW_IDENTITY FAppId{};
    TW_IDENTITY FSourceId{};
    TW_HANDLE FParent = nullptr;
    TTransferType FDestination = xfNative;
    bool FDSMOpen = false;
    bool FSourceOpen = false;
    bool FSourceEnabled = false;
    QString FSavedDefaultSource;
    TMessageEvent FOldOnMessage;
    bool FHookInstalled = false;
    bool FShowUI = true;
    TW_SETUPFILEXFER FFileSetup{};
    TW_UINT32 FFormat = TWFF_BMP;

    // Shared by all instances: set while a manager library is loaded.
    static DSMENTRYPROC FDSMEntry;
};
