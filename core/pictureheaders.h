#pragma once

#include <QByteArray>
#include <QSize>
#include <QString>

namespace core {

// What a picture file's own structure says it holds, read before a single pixel is decoded.
// A decoder's reported size cannot be trusted for this: Qt's GIF reader reports the logical
// screen and then decodes a frame of any size, and its ICO reader reports the first directory
// entry whatever the embedded picture declares.
struct PictureHeader {
    QByteArray format;     // Qt's name of the decoder to use ("png", "jpeg", "gif", ...); empty when refused
    QSize size;            // the largest canvas any frame or directory of the file needs
    qint64 decodedBytes = 0;  // what decoding the largest of them allocates, at most
    QString refusal;       // empty when the picture may be decoded; else a phrase starting with "picture"
    QString warning = QString();  // a picture that decodes with a part missing: what is amiss; else empty
};

// Reads the headers of a whole picture file held in memory, recognised by its content (never
// by a name): PNG, JPEG, GIF, BMP, TIFF, WebP, XPM, PBM/PGM/PPM and XBM. The picture is refused
// when a header is damaged, when any frame or directory is above maximumPicturePixels or
// maximumPictureBytes, when the file is too short to hold the pixels its headers declare, for a
// JPEG of more than maximumJpegScans scans, and for containers whose content's size cannot be
// established (ICO, CUR, ICNS, MNG) or formats without a signature. Any thread; never throws.
PictureHeader readPictureHeader(const QByteArray& bytes);

// The refusal of content that is in no format read here.
QString unknownFormatReason();

} // namespace core
