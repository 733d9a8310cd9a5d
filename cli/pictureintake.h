#pragma once

#include <QImage>
#include <QString>

namespace cli {

struct Picture {
    QImage image;     // null when the file could not be read
    QString failure;  // why, in a few words, for the user
};

// Reads the picture file as the window reads picture files (core::readPictureFile: a regular
// file only, its headers checked before decoding, upright, within
// the size bounds) and tells, when it fails, what went wrong. Any thread.
Picture readPicture(const QString& path);

} // namespace cli
