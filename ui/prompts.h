#pragma once

#include <QMessageBox>
#include <QString>

namespace ui {

// Every modal question, warning and file dialog of the program goes through a Prompts, which
// a window's PromptSession hands to the parts that ask, so that tests can answer them. The
// default shows the real dialogs: no parent, application-modal, centred on the active window.
// GUI thread only.
class Prompts
{
public:
    virtual ~Prompts();

    // Starts in folder (the default folder when empty). Empty when cancelled.
    virtual QString openFileName(const QString& caption, const QString& filter,
                                 const QString& folder = QString()) = 0;
    // Starts in folder (the default folder when empty); a path of a file there proposes its
    // name. A typed name without an extension gets "." + defaultSuffix when one is given.
    virtual QString saveFileName(const QString& caption, const QString& filter,
                                 const QString& folder = QString(),
                                 const QString& defaultSuffix = QString()) = 0;
    // A warning box with an OK button and no default button.
    virtual void warning(const QString& title, const QString& text) = 0;
    virtual QMessageBox::StandardButton question(const QString& title, const QString& text,
                                                 QMessageBox::StandardButtons buttons,
                                                 QMessageBox::StandardButton defaultButton) = 0;

    // What a PromptSession without prompts of its own asks through: the installed prompts, else
    // the real dialogs.
    static Prompts& current();
    // Makes prompts current (not owned); null restores the real dialogs. Returns the previous one.
    static Prompts* install(Prompts* prompts);
};

// The dialogs one window asks through, and what it remembers of the answers. The window owns
// one and hands it to the parts that ask (its view with the detection and the picture intake,
// the save dialog, the Preview window), so that two windows, or two tests, never share an
// answer. GUI thread only.
class PromptSession
{
public:
    // prompts is not owned; null asks through whatever Prompts::current() is at the time.
    explicit PromptSession(Prompts* prompts = nullptr) : m_prompts(prompts) {}

    Prompts& prompts() const { return m_prompts ? *m_prompts : Prompts::current(); }
    void setPrompts(Prompts* prompts) { m_prompts = prompts; }

    // The last answer to "repeat the detection?", offered as the default the next time.
    QMessageBox::StandardButton lastDetectionAnswer() const { return m_lastDetectionAnswer; }
    void setLastDetectionAnswer(QMessageBox::StandardButton answer) { m_lastDetectionAnswer = answer; }

private:
    Prompts* m_prompts = nullptr;
    QMessageBox::StandardButton m_lastDetectionAnswer = QMessageBox::Yes;
};

// path with "." + suffix appended when its file name has no extension (no dot); otherwise path.
QString withDefaultSuffix(const QString& path, const QString& suffix);

// The one suffix a file dialog's name filter names: "xml" for "dlib XML (*.xml)"; empty for
// "All files (*)", several patterns, or a wildcard suffix.
QString filterSuffix(const QString& filter);

// The real dialogs.
class DialogPrompts : public Prompts
{
public:
    QString openFileName(const QString& caption, const QString& filter,
                         const QString& folder) override;
    QString saveFileName(const QString& caption, const QString& filter, const QString& folder,
                         const QString& defaultSuffix) override;
    void warning(const QString& title, const QString& text) override;
    QMessageBox::StandardButton question(const QString& title, const QString& text,
                                         QMessageBox::StandardButtons buttons,
                                         QMessageBox::StandardButton defaultButton) override;
};

} // namespace ui
