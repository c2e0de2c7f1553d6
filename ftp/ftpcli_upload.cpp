// TCustomFtpCli: the upload as one session. Login, the folder (made level by level when
// missing), STOR to a temporary name, RNFR/RNTO onto the real name, QUIT; with fallbacks for
// servers that refuse a step, and the temporary file removed when the transfer fails.
// UploadNext judges the end of each step; the replies themselves are read and judged against
// their good codes by the command cycle (ftpcli_control.cpp), as for every other request.

#include "ftp/ftp_log.h"
#include "ftp/ftpcli.h"
#include "ftp/ftpcli_p.h"

#include <QRandomGenerator>
#include <cstdio>

namespace {

// A name the server reads as a path: the folder part stays, the file part changes.
struct TSplitName {
    std::string Folder; // with its trailing '/', or empty
    std::string Base;
};

TSplitName SplitName(const std::string& Name) {
    const std::size_t Slash = Name.rfind('/');
    if (Slash == std::string::npos) return {{}, Name};
    return {Name.substr(0, Slash + 1), Name.substr(Slash + 1)};
}

std::vector<std::string> FolderLevels(const std::string& Dir) {
    std::vector<std::string> Levels;
    std::size_t Start = 0;
    while (Start <= Dir.size()) {
        const std::size_t End = std::min(Dir.find('/', Start), Dir.size());
        if (End > Start) Levels.push_back(Dir.substr(Start, End - Start));
        Start = End + 1;
    }
    return Levels;
}

} // namespace

void TCustomFtpCli::UploadAsync() {
    if (FConnectedFlag) {
        HandleError("FTP component already connected");
        return;
    }
    if (!CheckReady()) return;
    if (!FExternalStream && FLocalFileName.empty()) {
        HandleError("LocalFileName empty");
        return;
    }
    if (FHostFileName.empty()) {
        HandleError("HostFileName emtpy");
        return;
    }
    FUpload = {};
    char Random[20];
    std::snprintf(Random, sizeof(Random), "%012llx",
                  static_cast<unsigned long long>(QRandomGenerator::system()->generate64() &
                                                  0xffffffffffffULL));
    FUpload.Suffix = std::string(".") + Random + ".part";
    FCertificateRefused = false;
    FRequestType = ftpUploadAsync;
    FRequestResult = 0;
    FStepsLeft = TFtpFctSet();
    FSavedStatusCode = -1;
    FLastResponse.clear();
    FErrorMessage.clear();
    FInSequence = true;
    FInUpload = true;
    FSequenceNext = &TCustomFtpCli::UploadNext;
    FUpload.Step = TUploadStep::Open;
    const int Before = FUsageErrors;
    OpenAsync();
    if (FUsageErrors != Before && (FState == ftpReady || FState == ftpInternalReady)) {
        FInSequence = false;
        FInUpload = false;
        FSequenceNext = nullptr;
    }
}

bool TCustomFtpCli::UploadSending() const {
    if (!FInUpload) return false;
    switch (FUpload.Step) {
    case TUploadStep::Store:
    case TUploadStep::RenameFrom:
    case TUploadStep::RenameTo:
    case TUploadStep::DeleteReal:
        return !FUpload.Aborted && FConnectedFlag;
    default:
        return false;
    }
}

void TCustomFtpCli::AbortUploadTransfer() {
    ++FAbortCount;
    FUpload.Aborted = true;
    Trace("! Abort requested");
    if (FUpload.Step != TUploadStep::Store) return; // UploadNext sees it at the step's end
    FLocalTransferError = "Transfer aborted by user.";
    DestroyLocalStream();
    FEndOfUploadTimer.stop();
    if (FDataSocket->State() != wsClosed) FDataSocket->Close();
}

void TCustomFtpCli::UploadStep(TUploadStep Step, const std::string& Cmd,
                               std::initializer_list<int> OkResponses) {
    FUpload.Step = Step;
    ExecAsync(ftpUploadAsync, Cmd, OkResponses, nullptr);
}

// Judges the step that has just ended (FRequestResult, FStatusCode) and starts the next.
void TCustomFtpCli::UploadNext() {
    const bool Ok = FRequestResult == 0;
    const TUploadStep Step = FUpload.Step;
    if (Step == TUploadStep::Quit) return UploadEnd();
    if (FState == ftpAbort) {
        FRequestResult = 426;
        FErrorMessage = "426 Operation aborted.";
        return UploadFail("");
    }
    if (!FConnectedFlag) {
        if (Ok && FUpload.FailCode == 0) {
            FRequestResult = 500;
            FErrorMessage = "500 Control connection closed.";
        }
        return UploadFail("");
    }
    if (FUpload.Aborted && FUpload.FailCode == 0) {
        FRequestResult = 426;
        FErrorMessage = "426 Transfer aborted by user.";
        return UploadFail("");
    }
    if (Step == TUploadStep::DeleteTemp) {
        if (!Ok) {
            qCWarning(lcFtp).noquote()
                << QString::fromStdString("The temporary file " + FUpload.StoredTemp +
                                          " stays on the server: " + FLastResponse);
        }
        FUpload.StoredTemp.clear();
        FUpload.Step = TUploadStep::Quit;
        return QuitAsync();
    }
    switch (Step) {
    case TUploadStep::Open:
        if (!Ok) return UploadFail("");
        FUpload.Reached = TUploadStage::Connected;
        FUpload.Step = TUploadStep::User;
        return UserAsync();
    case TUploadStep::User:
        if (!Ok) return UploadFail("");
        if (FStatusCode != 230) {
            FUpload.Step = TUploadStep::Pass;
            return PassAsync();
        }
        [[fallthrough]];
    case TUploadStep::Pass:
        if (!Ok) return UploadFail("");
        FUpload.Reached = TUploadStage::LoggedIn;
        // Logged in on an encrypted control connection: the data connection gets TLS too.
        if (FControlTrusted && !FDataProtected) {
            FUpload.Step = TUploadStep::Protect;
            return ProtectDataAsync();
        }
        [[fallthrough]];
    case TUploadStep::Protect:
        if (!Ok) return UploadFail("");
        if (FHostDirName.empty()) return UploadType();
        FLastStep = ftpFctCwd;
        return UploadStep(TUploadStep::Cwd, "CWD " + FHostDirName, {200, 250, 257});
    case TUploadStep::Cwd:
        if (Ok) return UploadType();
        if (FStatusCode != 550) return UploadFail("");
        // The folder is missing: made level by level, each level entered once it exists.
        FUpload.Levels = FolderLevels(FHostDirName);
        FUpload.Level = 0;
        Trace("! Folder " + FHostDirName + " not found: creating it");
        qCInfo(lcFtp).noquote() << QString::fromStdString("Creating the folder " + FHostDirName);
        if (FHostDirName[0] == '/')
            return UploadStep(TUploadStep::CwdRoot, "CWD /", {200, 250, 257});
        return UploadFolderLevel();
    case TUploadStep::CwdRoot:
        if (!Ok) return UploadFail("Cannot enter the root folder");
        return UploadFolderLevel();
    case TUploadStep::CwdLevel:
        if (Ok) {
            ++FUpload.Level;
            return UploadFolderLevel();
        }
        return UploadStep(TUploadStep::MkdLevel, "MKD " + FUpload.Levels[FUpload.Level],
                          {250, 257});
    case TUploadStep::MkdLevel:
        if (!Ok) return UploadFail("Cannot create the folder " + FHostDirName);
        return UploadStep(TUploadStep::CwdMade, "CWD " + FUpload.Levels[FUpload.Level],
                          {200, 250, 257});
    case TUploadStep::CwdMade:
        if (!Ok) return UploadFail("Cannot enter the folder just created");
        ++FUpload.Level;
        return UploadFolderLevel();
    case TUploadStep::Type:
        if (!Ok) return UploadFail("");
        return UploadStore();
    case TUploadStep::Port:
        if (!Ok) return UploadFail("");
        FUpload.Step = TUploadStep::Store;
        FPutRefused = false;
        if (FUpload.Target != FHostFileName) FUpload.StoredTemp = FUpload.Target;
        return ExecPutAsync();
    case TUploadStep::Store:
        if (Ok) {
            if (FUpload.Target != FHostFileName) {
                FUpload.Reached = TUploadStage::Stored;
                return UploadStep(TUploadStep::RenameFrom, "RNFR " + FUpload.StoredTemp, {350});
            }
            FUpload.Stored = true;
            FUpload.Reached = TUploadStage::Renamed;
            FUpload.StoredReply = FLastResponse;
            return UploadCleanUp();
        }
        if (FPutRefused && FStatusCode >= 500 && FUpload.NameTry < 2) {
            // Some servers refuse names that begin with a dot, or any but the real name.
            if (FUpload.StoredTemp == FUpload.Target) FUpload.StoredTemp.clear();
            ++FUpload.NameTry;
            const std::string Why =
                "STOR " + FUpload.Target + " refused (" + FLastResponse + "): trying " +
                (FUpload.NameTry == 1 ? "a visible temporary name" : "the real name");
            Trace("! " + Why);
            qCInfo(lcFtp).noquote() << QString::fromStdString(Why);
            return UploadStore();
        }
        return UploadFail("The transfer failed");
    case TUploadStep::RenameFrom:
    case TUploadStep::RenameTo:
        if (Ok && Step == TUploadStep::RenameFrom)
            return UploadStep(TUploadStep::RenameTo, "RNTO " + FHostFileName, {200, 250, 257});
        if (Ok) {
            FUpload.StoredTemp.clear();
            FUpload.Stored = true;
            FUpload.Reached = TUploadStage::Renamed;
            FUpload.StoredReply = FLastResponse;
            return UploadCleanUp();
        }
        if (Step == TUploadStep::RenameTo && !FUpload.RealDeleted) {
            // Some servers do not rename onto an existing file: the old one goes first,
            // now that the new one is complete.
            const std::string Why =
                "RNTO " + FHostFileName + " refused (" + FLastResponse + "): deleting it first";
            Trace("! " + Why);
            qCInfo(lcFtp).noquote() << QString::fromStdString(Why);
            return UploadStep(TUploadStep::DeleteReal, "DELE " + FHostFileName, {250, 257});
        }
        [[fallthrough]];
    case TUploadStep::DeleteReal:
        if (Ok) {
            FUpload.RealDeleted = true;
            return UploadStep(TUploadStep::RenameFrom, "RNFR " + FUpload.StoredTemp, {350});
        }
        {
            // An account that may store but not rename or delete: the real name directly.
            const std::string Why = "Cannot rename " + FUpload.StoredTemp + " to " + FHostFileName +
                                    " (" + FLastResponse +
                                    "): storing under the real name directly";
            Trace("! " + Why);
            qCInfo(lcFtp).noquote() << QString::fromStdString(Why);
        }
        FUpload.NameTry = 2;
        return UploadStore();
    case TUploadStep::Quit:
    case TUploadStep::DeleteTemp:
        break; // judged above
    }
}

void TCustomFtpCli::UploadFolderLevel() {
    if (FUpload.Level >= FUpload.Levels.size()) return UploadType();
    UploadStep(TUploadStep::CwdLevel, "CWD " + FUpload.Levels[FUpload.Level], {200, 250, 257});
}

// In the folder: binary transfers from here on.
void TCustomFtpCli::UploadType() {
    FUpload.Reached = TUploadStage::InFolder;
    FLastStep = ftpFctTypeSet;
    UploadStep(TUploadStep::Type, "TYPE I", {200});
}

void TCustomFtpCli::UploadStore() {
    const TSplitName Name = SplitName(FHostFileName);
    switch (FUpload.NameTry) {
    case 0:
        FUpload.Target = Name.Folder + "." + Name.Base + FUpload.Suffix;
        break;
    case 1:
        FUpload.Target = Name.Folder + Name.Base + FUpload.Suffix;
        break;
    default:
        FUpload.Target = FHostFileName;
        break;
    }
    FUpload.Step = TUploadStep::Port;
    PortAsync();
}

// Records why the upload fails (the first reason only), then cleans up.
void TCustomFtpCli::UploadFail(const std::string& Why) {
    if (FUpload.FailCode == 0) {
        FUpload.FailCode = FRequestResult != 0 ? FRequestResult : 500;
        FUpload.FailText = !FErrorMessage.empty() ? FErrorMessage : FLastResponse;
        FUpload.FailError = FUpload.LastError;
        if (!Why.empty()) {
            Trace("! " + Why);
            qCWarning(lcFtp).noquote() << QString::fromStdString(Why + ": " + FUpload.FailText);
        }
    }
    UploadCleanUp();
}

// Removes a temporary file left on the server (best effort), then says goodbye.
void TCustomFtpCli::UploadCleanUp() {
    if (!FConnectedFlag) return UploadEnd();
    if (FDataSocket->State() != wsClosed) FDataSocket->Close();
    if (FState != ftpAbort) StateChange(ftpInternalReady);
    if (!FUpload.StoredTemp.empty())
        return UploadStep(TUploadStep::DeleteTemp, "DELE " + FUpload.StoredTemp, {250, 257});
    FUpload.Step = TUploadStep::Quit;
    QuitAsync();
}

void TCustomFtpCli::UploadEnd() {
    FSequenceNext = nullptr;
    FRequestType = ftpUploadAsync;
    quint16 Error = 0;
    if (FUpload.FailCode != 0 || !FUpload.Stored) {
        if (FUpload.FailCode == 0) {
            FUpload.FailCode = 500;
            FUpload.FailText = "500 Upload ended before the file was stored";
        }
        FLastResponse = FUpload.FailText;
        FErrorMessage = FUpload.FailText;
        FStatusCode = FUpload.FailCode;
        FRequestResult = FUpload.FailCode;
        Error = FUpload.FailError != 0 ? FUpload.FailError : static_cast<quint16>(FUpload.FailCode);
    } else {
        FLastResponse = FUpload.StoredReply;
        FStatusCode = ReadNumber(FUpload.StoredReply).Value;
        FErrorMessage.clear();
        FRequestResult = 0;
    }
    FDoneReported = false;
    TriggerRequestDone(Error);
}
