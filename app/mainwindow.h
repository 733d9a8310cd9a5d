#pragma once

#include <QWidget>

#include <memory>

namespace ui {

// The program's only top-level window: the "File" menu, the point view and the footer line.
class MainWindow : public QWidget
{
public:
    MainWindow();
    ~MainWindow() override;

private:
    Q_DISABLE_COPY(MainWindow)
    class Impl;
    std::unique_ptr<Impl> d;
};

} // namespace ui
