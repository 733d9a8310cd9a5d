#pragma once
// A Prompts stand-in for tests: records every dialog the code asks for and answers from a script.
// It is installed as the current prompts while it lives, unless it is made only to be handed to a
// ui::PromptSession.

#include "ui/prompts.h"

#include <QList>
#include <QQueue>
#include <QString>

#include <functional>

struct PromptRecord {
    QString kind; // "open", "save", "warning" or "question"
    QString title;
    QString text;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    QString folder;        // file dialogs: the folder they start in (or a file proposed there)
    QString defaultSuffix; // save dialogs: the suffix a bare name gets
    QMessageBox::StandardButtons buttons; // questions: the answers offered
};

class FakePrompts : public ui::Prompts
{
public:
    enum Installation { Installed, NotInstalled };
    explicit FakePrompts(Installation installation = Installed)
        : installed(installation == Installed)
    {
        if (installed) {
            previous = ui::Prompts::install(this);
        }
    }
    ~FakePrompts() override
    {
        if (installed) {
            ui::Prompts::install(previous);
        }
    }

    QString openFileName(const QString& caption, const QString& filter, const QString& folder) override
    {
        records.append({QStringLiteral("open"), caption, filter, QMessageBox::NoButton, folder, {}, {}});
        return fileNames.isEmpty() ? QString() : fileNames.dequeue();
    }
    QString saveFileName(const QString& caption, const QString& filter, const QString& folder,
                         const QString& defaultSuffix) override
    {
        records.append({QStringLiteral("save"), caption, filter, QMessageBox::NoButton, folder,
                        defaultSuffix, {}});
        return fileNames.isEmpty() ? QString() : fileNames.dequeue();
    }
    void warning(const QString& title, const QString& text) override
    {
        records.append({QStringLiteral("warning"), title, text, QMessageBox::NoButton, {}, {}, {}});
        if (whileWarning) {
            whileWarning(); // what the user sees behind the box
        }
    }
    QMessageBox::StandardButton question(const QString& title, const QString& text,
                                         QMessageBox::StandardButtons buttons,
                                         QMessageBox::StandardButton defaultButton) override
    {
        records.append({QStringLiteral("question"), title, text, defaultButton, {}, {}, buttons});
        return answers.isEmpty() ? defaultButton : answers.dequeue();
    }

    QList<PromptRecord> ofKind(const QString& kind) const
    {
        QList<PromptRecord> result;
        for (const PromptRecord& record : records) {
            if (record.kind == kind) {
                result.append(record);
            }
        }
        return result;
    }

    QQueue<QString> fileNames;                   // answers to open and save dialogs, in order
    QQueue<QMessageBox::StandardButton> answers; // answers to questions; the default when empty
    QList<PromptRecord> records;
    // Runs while a warning is shown, once it is recorded; none when empty.
    std::function<void()> whileWarning;

private:
    bool installed = true;
    ui::Prompts* previous = nullptr;
};
