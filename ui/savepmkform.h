#pragma once

#include <QDialog>

#include <memory>

namespace core {
class FaceMaskProject;
}

namespace ui {

// The modal dialog that names the effect, picks its type, asks for a path and saves the project.
class SavePMKForm : public QDialog
{
public:
    // project is not owned and must outlive the dialog.
    explicit SavePMKForm(core::FaceMaskProject* project);
    ~SavePMKForm() override;

    // The folder the file picker starts in; empty: the picker's default.
    void setFolder(const QString& folder);
    // The file the project was written to; empty until a save succeeded (the dialog is then
    // accepted).
    QString savedPath() const;

private:
    Q_DISABLE_COPY(SavePMKForm)
    class Impl;
    std::unique_ptr<Impl> d;
};

} // namespace ui
