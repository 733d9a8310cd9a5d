#pragma once

#include <QStringList>
#include <QWidget>

#include <memory>

namespace ui {

class Prompts;

// The program's only top-level window: the "File", "Edit" and "View" menus, the point view and
// the footer line. Its title names the package and marks unsaved changes. Every dialog of the
// window, of its parts and of its Preview goes through the window's prompts. GUI thread only.
class MainWindow : public QWidget
{
public:
    // prompts is not owned and must outlive the window; null asks through Prompts::current() at
    // the time of each question.
    explicit MainWindow(Prompts* prompts = nullptr);
    ~MainWindow() override;

    // Opens a package (a ".pmk" name, in any case) or a picture as the "File" menu would, with
    // the same questions and messages; for a file named on the command line.
    void openFile(const QString& path);
    // Opens the first of files as openFile does and tells the user that the others were left
    // out (the window takes one file at a time); for the files named on the command line.
    void openFiles(const QStringList& files);

protected:
    // Asks first when there are unsaved changes; the close is refused when the user cancels.
    void closeEvent(QCloseEvent* event) override;

private:
    Q_DISABLE_COPY(MainWindow)
    class Impl;
    std::unique_ptr<Impl> d;
};

} // namespace ui
