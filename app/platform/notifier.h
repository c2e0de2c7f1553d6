#pragma once

#include <QImage>
#include <QString>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

// Desktop notifications: a message with a picture, shown by the session's notification service.
namespace notifier {

struct TNotice {
    QString Summary;
    QString Body;
    QImage Image;
    // Key and label of each button; shown only where the service offers buttons.
    std::vector<std::pair<QString, QString>> Actions;
};

class TNotifier {
public:
    virtual ~TNotifier() = default;
    // Whether the service shows buttons.
    virtual bool OffersActions() const = 0;
    // False when the service did not take it (the reason is logged).
    virtual bool Show(const TNotice& Notice) = 0;

    // The user pressed a button: its key.
    std::function<void(const QString& Key)> OnAction;
    // The notification went away (expired, dismissed, or closed after a button).
    std::function<void()> OnClosed;
};

// The service on the session bus; nullptr when there is no bus or no service (logged).
std::unique_ptr<TNotifier> ChooseNotifier();

} // namespace notifier
