#pragma once

#include <QStringList>

namespace ui {

// The files the window's command line names, in order, as it opens them: a local file URL
// ("file:///home/me/a%20b.jpg", as some launchers and terminals hand over a file) becomes the
// file's path, byte for byte where core::useByteExactLocalNames() is in effect. An argument that
// names an existing file in the working folder stays as it is even where it reads as a URL, and
// so does any other argument (a web address is left for the window to refuse).
QStringList commandLineFiles(const QStringList& arguments);

} // namespace ui
