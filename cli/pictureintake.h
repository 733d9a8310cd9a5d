#pragma once

#include <QImage>
#include <QSize>
#include <QString>

namespace cli {

struct Picture {
    QImage image;     // null when the file could not be read
    QString failure;  // why, in a few words, for the user
    QString warning = QString();  // read all the same, but something is amiss (a JPEG cut short); else empty
};

// Reads the picture file as the window reads picture files (core::readPictureFile: its headers
// checked before decoding, upright, within the size bounds) and tells, when it fails, what went
// wrong: a file that is not a regular file is refused before it is read. Any thread.
Picture readPicture(const QString& path);

// What readPicture or declaredPictureSize is reading on the calling thread: the file as given
// (empty outside them), and whether it is only the probe of its size, whose messages the decoding
// repeats. Lets the decoders' own messages say which file they are about.
struct PictureBeingRead {
    QString file;
    bool sizeProbe = false;
};
PictureBeingRead pictureBeingRead();

// The size the picture file's header declares, without decoding it; invalid when the file is
// not a regular file or its size cannot be told. Any thread.
QSize declaredPictureSize(const QString& path);

} // namespace cli
