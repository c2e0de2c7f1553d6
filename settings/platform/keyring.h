#pragma once

// The desktop's keyring (the Secret Service or KWallet), where the FTP password is kept when the
// session offers one. One small interface, so the settings need not know who answers; every call
// waits for its answer, with a time-out, and never falls back to clear text on its own.

#include <QString>
#include <memory>

class TKeyring {
public:
    enum class TStatus {
        Ok,
        NotFound,
        // No answer in time, a keyring that stayed locked, or one that refused.
        Unavailable
    };
    struct TResult {
        TStatus Status = TStatus::Unavailable;
        QString Secret; // what Read found
        QString Why;    // why the keyring was unavailable
    };

    virtual ~TKeyring() = default;
    virtual TResult Read(const QString& Key) = 0;
    virtual TResult Write(const QString& Key, const QString& Secret) = 0;
    virtual TResult Remove(const QString& Key) = 0;
};

namespace keyring {

// The service every entry is filed under.
inline constexpr char Service[] = "org.velmoran.ImgLift";

// How long a call waits: D-Bus's own time-out for a call, so an unlock prompt nobody answers
// (a headless upload) holds the program no longer than the keyring would.
inline constexpr int TimeoutMs = 25000;

struct TChoice {
    std::unique_ptr<TKeyring> Keyring; // null when there is none
    QString Why;                       // why there is none
    bool TurnedOff = false;            // IMGLIFT_KEYRING=0
};

// The session's keyring, or none: IMGLIFT_KEYRING=0, no session bus, or nothing on it that keeps
// secrets.
TChoice Open();

// The keyring through QtKeychain.
std::unique_ptr<TKeyring> MakeQtKeychain(int TimeoutMs);

} // namespace keyring
