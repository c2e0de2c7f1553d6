#pragma once

#include <QWidget>
#include <functional>
#include <optional>

class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class TDialogs;
class TUploadHistory;
struct THistoryEntry;

// The uploads recorded so far, newest first, with what can be done with each: copy or open its
// address, delete it from its server, remove it from the history.
class THistoryWindow : public QWidget {
    Q_OBJECT
public:
    THistoryWindow(TUploadHistory& History, TDialogs& Dialogs, QWidget* Parent);

    // Reads the entries anew (the search applied).
    void Refresh();
    // The entry selected in the list.
    std::optional<THistoryEntry> Selected() const;

    // Deletes the entry's file from its server; true when it is gone.
    std::function<bool(const THistoryEntry&)> OnDeleteFromServer;
    // Opens an address in the browser.
    std::function<void(const QString&)> OnOpen;

    void CopyAddress();
    void OpenAddress();
    void DeleteFromServer();
    void RemoveFromHistory();

    QLineEdit* Search;
    QLabel* Problem;
    QTreeWidget* List;
    QPushButton* CopyButton;
    QPushButton* OpenButton;
    QPushButton* DeleteButton;
    QPushButton* RemoveButton;

    // At most this many entries are listed; the search reaches the others.
    static constexpr int Shown = 500;

private:
    void UpdateButtons();

    TUploadHistory& FHistory;
    TDialogs& FDialogs;
};
