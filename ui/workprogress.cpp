#include "ui/workprogress.h"

#include <QPointer>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>

namespace ui {

namespace {

// What the worker and the window share.
struct SharedState {
    std::atomic_int percent{0};
    std::atomic_bool cancel{false};
};

// The worker never touches a widget: the dialog reads the percentage at this pace.
constexpr int refreshIntervalMs = 50;

} // namespace

class WorkProgress::Impl
{
public:
    QString label;
    std::shared_ptr<SharedState> state = std::make_shared<SharedState>();
    // A child of the owner, which may go first (a closed dialog).
    QPointer<QProgressDialog> dialog;
    QPointer<QWidget> owner;
    QTimer showTimer;
    QTimer refreshTimer;
};

WorkProgress::WorkProgress(const QString& label, QWidget* owner) : d(std::make_unique<Impl>())
{
    d->label = label;
    d->owner = owner;
    d->showTimer.setSingleShot(true);
    connect(&d->showTimer, &QTimer::timeout, this, [this] {
        d->dialog = new QProgressDialog(d->label, QStringLiteral("Cancel"), 0, 100, d->owner);
        d->dialog->setObjectName(QStringLiteral("workProgressDialog"));
        d->dialog->setWindowTitle(QStringLiteral("Facemask"));
        d->dialog->setMinimumDuration(0);
        d->dialog->setAutoClose(false);
        d->dialog->setAutoReset(false);
        d->dialog->setValue(d->state->percent.load());
        // Qt's own answer to Cancel hides the dialog at once; the work may take a while to stop
        // (a write to a disk that does not answer), and the dialog says so until it has.
        // (Qt makes that connection by name, so it is undone by name.)
        disconnect(d->dialog, SIGNAL(canceled()), d->dialog, SLOT(cancel()));
        // Enter pressed again for what started the work (twice, or held) must not stop it; Escape
        // and a click on Cancel do.
        if (auto* button = d->dialog->findChild<QPushButton*>()) {
            button->setAutoDefault(false);
        }
        connect(d->dialog, &QProgressDialog::canceled, this, &WorkProgress::cancel);
        if (isCancelled()) {
            showCancelling();
        }
        d->dialog->show();
        d->refreshTimer.start(refreshIntervalMs);
    });
    connect(&d->refreshTimer, &QTimer::timeout, this, [this] {
        if (d->dialog) {
            d->dialog->setValue(d->state->percent.load());
        }
    });
    d->showTimer.start(showDelayMs);
}

WorkProgress::~WorkProgress()
{
    delete d->dialog.data();
}

core::Progress WorkProgress::reporter() const
{
    std::shared_ptr<SharedState> state = d->state;
    return [state](int percent) { state->percent = percent; };
}

std::shared_ptr<const std::atomic_bool> WorkProgress::cancelFlag() const
{
    return std::shared_ptr<const std::atomic_bool>(d->state, &d->state->cancel);
}

bool WorkProgress::isCancelled() const
{
    return d->state->cancel.load();
}

void WorkProgress::cancel()
{
    if (d->state->cancel.exchange(true)) {
        return;
    }
    showCancelling();
    emit cancelled();
}

void WorkProgress::showCancelling()
{
    if (!d->dialog) {
        return;
    }
    d->dialog->setLabelText(QStringLiteral("Cancelling\u2026"));
    if (auto* button = d->dialog->findChild<QPushButton*>()) {
        button->setEnabled(false);
    }
    if (!d->dialog->isVisible()) {
        d->dialog->show(); // closed with Escape or its title bar, which also cancels
    }
}

QProgressDialog* WorkProgress::dialog() const
{
    return d->dialog.data();
}

} // namespace ui
