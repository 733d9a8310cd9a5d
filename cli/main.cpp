#include "commands.h"

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    return cli::runProgram(application.arguments());
}
