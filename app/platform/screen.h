#pragma once

#include <QImage>
#include <QString>
#include <memory>
#include <optional>

// The whole screen, or a part the user marks, as a picture, taken through whichever service the
// desktop session offers.
namespace screen {

class TScreen {
public:
    virtual ~TScreen() = default;
    // The service's short name, as IMGLIFT_SCREEN spells it.
    virtual QString Name() const = 0;
    // The whole desktop, or nothing when the service refuses or fails.
    virtual std::optional<QImage> Grab() = 0;
    // A part the user picks (a screen, a window or an area, as the service offers), or nothing
    // when the user cancels or the service fails.
    virtual std::optional<QImage> GrabArea() = 0;
};

// The desktop portal's Screenshot interface on the session bus: Grab asks without a dialog,
// GrabArea with the desktop's own picker (interactive). The wait for its answer keeps the event
// loop running and ends after PortalTimeLimitMs(), or for the picker PortalPickerTimeLimitMs().
std::unique_ptr<TScreen> MakePortalScreen();
// Whether the session bus has the portal, running or activatable.
bool PortalOffered();
// 15 s, or the milliseconds in IMGLIFT_PORTAL_TIMEOUT_MS.
int PortalTimeLimitMs();
// The user takes their time in the picker: 10 minutes, or the portal's limit when it is set.
int PortalPickerTimeLimitMs();

// The X server's screens, each at its place on the desktop; GrabArea freezes them in a window over
// the whole desktop where the user draws a rubber band (Escape gives up).
std::unique_ptr<TScreen> MakeX11Screen();

// The rubber band over a frozen desktop picture: the marked part, or nothing after Escape.
std::optional<QImage> ChooseArea(const QImage& Desktop);

// IMGLIFT_SCREEN (portal, x11, none) forces a service. Otherwise the portal whenever the session
// bus offers it, else X11 when the program runs on an X server, else none (null). Chosen afresh on
// every call, so a portal that starts later is found.
std::unique_ptr<TScreen> ChooseScreen();

} // namespace screen
