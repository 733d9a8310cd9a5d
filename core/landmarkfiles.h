#pragma once

#include "core/facialpoints.h"

#include <QByteArray>
#include <QRect>
#include <QSize>
#include <QString>

#include <optional>

// The 68 landmarks in the files of other annotation tools. Points are fractions of the picture
// here as everywhere outside the pipeline; the files hold picture pixels, so every function
// takes the picture's size. Only the first 68 points (dlib's markup) are written; the 7 derived
// ones have no place in these formats. Any thread.
namespace core::landmarkfiles {

constexpr int landmarkCount = 68;

// The files hold pixels as plain numbers: a point more than this many pixels from the picture
// (a hand-edited package can hold 1e300) cannot be written.
constexpr double farthestWritablePixel = 1e9;

// The index of the first of the 68 landmarks beyond farthestWritablePixel (or not finite), the
// point that keeps them from being written; -1 when all can be.
int unwritablePoint(const FacialPointVector& points, QSize pictureSize);

// iBUG 300-W ".pts": "version: 1", "n_points: 68", then "{", one "x y" line per point, "}".
// Coordinates are 1-based pixels (the centre of the top-left pixel is 1,1; dlib's pixel x is
// x - 1) with 17 significant digits. Empty when there are fewer than 68 points or one is
// unwritable.
QByteArray writePts(const FacialPointVector& points, QSize pictureSize);
// Any line ends, blanks and a UTF-8 byte order mark are read. Nothing, with *reason set, when
// the text is not a .pts file of 68 finite points.
std::optional<FacialPointVector> readPts(const QByteArray& text, QSize pictureSize,
                                         QString* reason = nullptr);

struct DlibImage {
    QString file;              // the picture's file name as written into the XML
    QRect box;                 // the face's box in picture pixels
    FacialPointVector points;  // fractions of the picture
    int faceCount = 0;         // as read: the boxes with parts in the whole file, this one first
};

// dlib's imglab XML (what dlib::load_image_dataset reads): one image with its box and the parts
// "00" to "67" at whole pixels (0-based), rounded to the nearest. Empty when there are fewer than
// 68 points or one is unwritable. Characters XML cannot hold (control characters other than tab,
// line feed and carriage return, which are written as references) become U+FFFD in the file name.
QByteArray writeDlibXml(const DlibImage& image, QSize pictureSize);
// The first box of the XML that holds parts (boxes marked ignore='1' and boxes without parts,
// faces marked for detection only, are passed over), with its image's file and its parts "00" to
// "67" ("0" to "67") as fractions; nothing, with *reason set, when there is no such box or one of
// its 68 parts is missing or not at whole pixels. The boxes with parts after it are counted.
std::optional<DlibImage> readDlibXml(const QByteArray& text, QSize pictureSize,
                                     QString* reason = nullptr);

// The smallest box of whole pixels that holds the 68 landmarks, for points without a face box;
// an empty box when one is unwritable.
QRect boundingBox(const FacialPointVector& points, QSize pictureSize);

} // namespace core::landmarkfiles
