#pragma once

#include <QWidget>

#include <memory>

namespace ui {

// The program's only top-level window: the "File", "Edit" and "View" menus, the point view and
// the footer line. Its title names the package and marks unsaved changes. GUI thread only.
class MainWindow : public QWidget
{
public:
    MainWindow();
    ~MainWindow() override;

    // Opens a package (a ".pmk" name, in any case) or a picture as the "File" menu would, with
    // the same questions and messages; for a file named on the command line.
    void openFile(const QString& path);

protected:
    // Asks first when there are unsaved changes; the close is refused when the user cancels.
    void closeEvent(QCloseEvent* event) override;

private:
    Q_DISABLE_COPY(MainWindow)
    class Impl;
    std::unique_ptr<Impl> d;
};

} // namespace ui
