#include "ui/prompts.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QPushButton>

#include <utility>

namespace ui {

namespace {
DialogPrompts dialogPrompts;
Prompts* installedPrompts = nullptr;
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
    return QFileDialog::getOpenFileName(nullptr, caption, folder, filter);
}

QString DialogPrompts::saveFileName(const QString& caption, const QString& filter,
                                    const QString& folder, const QString& defaultSuffix)
{
    QFileDialog dialog(nullptr, caption, folder, filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    // The dialog completes the name itself, so that its overwrite question is about the file
    // that will really be written.
    dialog.setDefaultSuffix(defaultSuffix);
    if (dialog.exec() != QDialog::Accepted) {
        return QString();
    }
    const QStringList chosen = dialog.selectedFiles();
    return chosen.isEmpty() ? QString() : chosen.constFirst();
}

void DialogPrompts::warning(const QString& title, const QString& text)
{
    QMessageBox::warning(nullptr, title, text, QMessageBox::Ok, QMessageBox::NoButton);
}

QMessageBox::StandardButton DialogPrompts::question(const QString& title, const QString& text,
                                                    QMessageBox::StandardButtons buttons,
                                                    QMessageBox::StandardButton defaultButton)
{
    QMessageBox box(QMessageBox::Question, title, text, buttons);
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
