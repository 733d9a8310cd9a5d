#pragma once

#include <QStringList>

#include <vector>

// The commands of facemask-cli. A command is a function in a source file of its own, listed once
// in the table of commands.cpp. Main thread only.
namespace cli {

// Runs one command; arguments[0] is the command's name. Returns the exit status (commandline.h).
using CommandFunction = int (*)(const QStringList& arguments);

struct Command {
    const char* name;
    const char* summary;
    CommandFunction run;
};

int runDetect(const QStringList& arguments);
int runMake(const QStringList& arguments);
int runInfo(const QStringList& arguments);
int runPoints(const QStringList& arguments);
int runPreview(const QStringList& arguments);
int runThumbnail(const QStringList& arguments);
int runTrack(const QStringList& arguments);
// preview with a video in place of the picture.
bool isVideoPreview(const QStringList& arguments);
int runVideoPreview(const QStringList& arguments);
// The first option of arguments that only a video's preview takes ("--every"), empty for none.
QString videoPreviewOptionGiven(const QStringList& arguments);

// Every command, in the order the program's help lists them.
const std::vector<Command>& commands();

// The whole program: arguments as QCoreApplication::arguments() gives them.
int runProgram(const QStringList& arguments);

} // namespace cli
