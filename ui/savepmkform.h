#pragma once

#include <QDialog>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

namespace core {
class FaceMaskProject;
struct ProjectSnapshot;
}

namespace ui {

class PromptSession;

// The modal dialog that names the effect, picks its type, asks for a path and saves the project.
// The package is written on a worker thread from a snapshot taken when Save is pressed; the
// dialog ends with accept() once it is written, and stays open with a warning when it is not.
class SavePMKForm : public QDialog
{
public:
    // Writes a package as core::savePackage does; called on a worker thread.
    using PackageWriter = std::function<bool(const core::ProjectSnapshot& snapshot,
                                             const QString& path,
                                             const std::function<void(int)>& progress,
                                             const std::atomic_bool* cancel)>;

    // project is not owned and must outlive the dialog. An empty writer is core::savePackage.
    // The file picker and the warnings go through session (not owned, must outlive the dialog;
    // its window's); without one the dialog keeps a session of its own. parent is the window the
    // dialog opens over (on its screen); null: Qt's place, the middle of the cursor's screen.
    explicit SavePMKForm(core::FaceMaskProject* project, PackageWriter writer = {},
                         PromptSession* session = nullptr, QWidget* parent = nullptr);
    ~SavePMKForm() override;

    // The folder the file picker starts in; empty: the picker's default.
    void setFolder(const QString& folder);
    // The package the picker proposes, in its folder (the package opened or saved last); empty:
    // none, the picker starts in the folder.
    void setProposedFile(const QString& path);
    // The file the project was written to; empty until a save succeeded (the dialog is then
    // accepted).
    QString savedPath() const;
    // After a successful save, e.g. "Saved astronaut.pmk (9.1 MB) in 0.3 s"; empty before.
    QString resultMessage() const;
    bool isSaving() const;

    // Longest name or author a package is written with; a longer one is refused with a message
    // before anything is written (never cut).
    static constexpr int maximumTextLength = 100'000;

    // While a save runs, asks it to stop (the earlier file stays) instead of closing.
    void reject() override;

private:
    Q_DISABLE_COPY(SavePMKForm)
    class Impl;
    std::unique_ptr<Impl> d;
};

} // namespace ui
