#include "facialpoints.h"
#include "mainwindow.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    core::registerFacialPointVector();
    ui::MainWindow window;
    window.show();
    return application.exec();
}
