#pragma once

#include "core/facemaskproject.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <memory>

class QProgressDialog;
class QWidget;

namespace ui {

// The visible side of one piece of work running on a worker thread. Once the work has taken
// 300 ms, a QProgressDialog shows its percentage and a Cancel button, above the window it
// belongs to and centred on it; after Cancel it says "Cancelling…" until the work has stopped:
// the dialog goes when this object does. The flag and the reporter handed to the worker hold
// their own share of the state, so a worker may outlive this object (an abandoned load).
// GUI thread only, except what reporter() returns and the flag, which the worker uses.
class WorkProgress : public QObject
{
    Q_OBJECT
public:
    // owner (not owned, may be null) is the window the work belongs to: the dialog is its
    // transient child, so a window manager keeps it above owner.
    explicit WorkProgress(const QString& label, QWidget* owner = nullptr);
    ~WorkProgress() override;

    // Tells the percentage from the worker; any thread.
    core::Progress reporter() const;
    // Set when the user cancels; the worker reads it.
    std::shared_ptr<const std::atomic_bool> cancelFlag() const;
    bool isCancelled() const;
    // Sets the flag and emits cancelled, as the dialog's Cancel button does.
    void cancel();

    // The dialog while it is shown, else null.
    QProgressDialog* dialog() const;

    static constexpr int showDelayMs = 300;

signals:
    void cancelled();

private:
    Q_DISABLE_COPY(WorkProgress)
    // The dialog, if shown, says the work is stopping and offers no second Cancel.
    void showCancelling();
    class Impl;
    std::unique_ptr<Impl> d;
};

} // namespace ui
