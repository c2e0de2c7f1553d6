#pragma once
// Where TCustomFtpCli's upload sequence is, and what it has done on the server
// (ftpcli_upload.cpp).

#include "ftp/transferclient.h"

#include <QtGlobal>
#include <cstddef>
#include <string>
#include <vector>

// The steps of the upload sequence.
enum class TFtpUploadStep {
    Open,
    User,
    Pass,
    Protect,
    Cwd,
    CwdRoot,
    CwdLevel,
    MkdLevel,
    CwdMade,
    Type,
    Port,
    Store,
    RenameFrom,
    RenameTo,
    DeleteReal,
    DeleteTemp,
    Quit
};

struct TFtpUploadRun {
    TFtpUploadStep Step = TFtpUploadStep::Open; // the step whose end UploadNext judges
    std::vector<std::string> Levels;            // the folder's levels, once CWD found it missing
    std::size_t Level = 0;
    std::string Suffix;       // ".<random>.part", the same for every temporary name
    int NameTry = 0;          // 0 hidden temporary name, 1 visible one, 2 the real name
    std::string Target;       // the name the running STOR sends to
    std::string StoredTemp;   // a temporary file this upload put on the server
    bool RealDeleted = false; // DELE of the real name went before a second RNTO
    bool Stored = false;      // the real name holds the new file
    bool Aborted = false;     // the transfer was cut on the user's request
    int FailCode = 0;         // the outcome to report once the clean-up is done
    std::string FailText;
    quint16 FailError = 0;   // a socket error behind the failure, for the request's end
    quint16 LastError = 0;   // the error the step that just ended reported
    std::string StoredReply; // the reply that put the file under its real name
    TUploadStage Reached = TUploadStage::None;
};
