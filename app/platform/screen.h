#pragma once

#include <QImage>
#include <QString>
#include <memory>
#include <optional>

// The whole screen as a picture, taken through whichever service the desktop session offers.
namespace screen {

class TScreen {
public:
    virtual ~TScreen() = default;
    // The service's short name, as IMGLIFT_SCREEN spells it.
    virtual QString Name() const = 0;
    // The whole desktop, or nothing when the service refuses or fails.
    virtual std::optional<QImage> Grab() = 0;
};

// The desktop portal's Screenshot interface on the session bus. The request is not interactive;
// the wait for its answer keeps the event loop running and ends after PortalTimeLimitMs().
std::unique_ptr<TScreen> MakePortalScreen();
// Whether the session bus has the portal, running or activatable.
bool PortalOffered();
// 15 s, or the milliseconds in IMGLIFT_PORTAL_TIMEOUT_MS.
int PortalTimeLimitMs();

// The X server's screens, each at its place on the desktop.
std::unique_ptr<TScreen> MakeX11Screen();

// IMGLIFT_SCREEN (portal, x11, none) forces a service. Otherwise the portal whenever the session
// bus offers it, else X11 when the program runs on an X server, else none (null). Chosen afresh on
// every call, so a portal that starts later is found.
std::unique_ptr<TScreen> ChooseScreen();

} // namespace screen
