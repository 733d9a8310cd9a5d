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

private:
    Q_DISABLE_COPY(SavePMKForm)
    class Impl;
    std::unique_ptr<Impl> d;
};

} // namespace ui
