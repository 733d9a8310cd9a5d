#include "ui/prompts.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QWindow>

#include <algorithm>
#include <utility>

namespace ui {

namespace {
DialogPrompts dialogPrompts;
Prompts* installedPrompts = nullptr;
// A dialog without a parent that opens centred on the window active when it was made, on that
// window's screen, as far as the screen's free area lets it: Qt centres a dialog without a parent
// on the screen under the cursor, which on several monitors may be another than the window's.
// Without an active window it opens where Qt puts it. The window may go while the dialog is open.
template <typename Dialog>
class OverActiveWindow : public Dialog
{
public:
    template <typename... Args>
    explicit OverActiveWindow(Args&&... args)
        : Dialog(std::forward<Args>(args)...)
        , owner(QApplication::activeWindow())
    {
    }

protected:
    void showEvent(QShowEvent* event) override
    {
        Dialog::showEvent(event); // sizes the dialog and places it on the cursor's screen
        QScreen* screen = owner ? owner->screen() : nullptr;
        if (event->spontaneous() || !screen) {
            return;
        }
        if (QWindow* window = this->windowHandle()) {
            window->setScreen(screen);
        }
        const QRect area = screen->availableGeometry();
        const QSize size = this->frameGeometry().size();
        QPoint at = owner->frameGeometry().center() - QPoint(size.width() / 2, size.height() / 2);
        at.setX(std::max(area.left(), std::min(at.x(), area.right() + 1 - size.width())));
        at.setY(std::max(area.top(), std::min(at.y(), area.bottom() + 1 - size.height())));
        this->move(at);
    }

private:
    QPointer<QWidget> owner;
};

} // namespace

Prompts::~Prompts() = default;

Prompts& Prompts::current()
{
    return installedPrompts ? *installedPrompts : dialogPrompts;
}

Prompts* Prompts::install(Prompts* prompts)
{
    Prompts* previous = installedPrompts;
    installedPrompts = prompts;
    return previous;
}

QString withDefaultSuffix(const QString& path, const QString& suffix)
{
    if (suffix.isEmpty() || QFileInfo(path).fileName().contains(QLatin1Char('.'))) {
        return path;
    }
    return path + QLatin1Char('.') + suffix;
}

QString DialogPrompts::openFileName(const QString& caption, const QString& filter,
                                    const QString& folder)
{
    OverActiveWindow<QFileDialog> dialog(nullptr, caption, folder, filter);
    dialog.setFileMode(QFileDialog::ExistingFile);
    if (dialog.exec() != QDialog::Accepted) {
        return QString();
    }
    const QStringList chosen = dialog.selectedFiles();
    return chosen.isEmpty() ? QString() : chosen.constFirst();
}

QString filterSuffix(const QString& filter)
{
    const int open = filter.lastIndexOf(QLatin1Char('('));
    const int close = filter.lastIndexOf(QLatin1Char(')'));
    const QString patterns = open >= 0 && close > open ? filter.mid(open + 1, close - open - 1).trimmed()
                                                       : filter.trimmed();
    if (!patterns.startsWith(QLatin1String("*.")) || patterns.contains(QLatin1Char(' '))) {
        return QString();
    }
    const QString suffix = patterns.mid(2);
    const bool plain = !suffix.isEmpty() && !suffix.contains(QLatin1Char('*'))
        && !suffix.contains(QLatin1Char('?')) && !suffix.contains(QLatin1Char('['));
    return plain ? suffix : QString();
}

QString DialogPrompts::saveFileName(const QString& caption, const QString& filter,
                                    const QString& folder, const QString& defaultSuffix)
{
    OverActiveWindow<QFileDialog> dialog(nullptr, caption, folder, filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    // The dialog completes the name itself, so that its overwrite question is about the file
    // that will really be written.
    dialog.setDefaultSuffix(defaultSuffix);
    // The suffix follows the file type the user picks: "face" under "dlib XML (*.xml)" is
    // face.xml; a type of any name keeps the caller's suffix.
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog,
                     [&dialog, defaultSuffix](const QString& chosen) {
                         const QString suffix = filterSuffix(chosen);
                         dialog.setDefaultSuffix(suffix.isEmpty() ? defaultSuffix : suffix);
                     });
    if (dialog.exec() != QDialog::Accepted) {
        return QString();
    }
    const QStringList chosen = dialog.selectedFiles();
    return chosen.isEmpty() ? QString() : chosen.constFirst();
}

void DialogPrompts::warning(const QString& title, const QString& text)
{
    OverActiveWindow<QMessageBox> box(QMessageBox::Warning, title, text, QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::NoButton);
    box.exec();
}

QMessageBox::StandardButton DialogPrompts::question(const QString& title, const QString& text,
                                                    QMessageBox::StandardButtons buttons,
                                                    QMessageBox::StandardButton defaultButton)
{
    OverActiveWindow<QMessageBox> box(QMessageBox::Question, title, text, buttons);
    box.setDefaultButton(defaultButton);
    // Alt and a letter for every answer, also where the style's texts have no mnemonic.
    const std::pair<QMessageBox::StandardButton, const char*> mnemonics[] = {
        {QMessageBox::Save, "&Save"}, {QMessageBox::Discard, "&Discard"},
        {QMessageBox::Yes, "&Yes"}, {QMessageBox::No, "&No"}};
    for (const auto& [which, label] : mnemonics) {
        if (QAbstractButton* button = box.button(which)) {
            if (!button->text().contains(QLatin1Char('&'))) {
                button->setText(QString::fromLatin1(label));
            }
        }
    }
    if (box.exec() == -1) {
        return QMessageBox::Cancel;
    }
    return box.standardButton(box.clickedButton());
}

} // namespace ui
