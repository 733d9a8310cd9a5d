#include "prompts.h"

#include <QFileDialog>

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

QString DialogPrompts::openFileName(const QString& caption, const QString& filter)
{
    return QFileDialog::getOpenFileName(nullptr, caption, QString(), filter);
}

QString DialogPrompts::saveFileName(const QString& caption, const QString& filter)
{
    return QFileDialog::getSaveFileName(nullptr, caption, QString(), filter);
}

void DialogPrompts::warning(const QString& title, const QString& text)
{
    QMessageBox::warning(nullptr, title, text, QMessageBox::Ok, QMessageBox::NoButton);
}

QMessageBox::StandardButton DialogPrompts::question(const QString& title, const QString& text,
                                                    QMessageBox::StandardButtons buttons,
                                                    QMessageBox::StandardButton defaultButton)
{
    return QMessageBox::question(nullptr, title, text, buttons, defaultButton);
}

} // namespace ui
