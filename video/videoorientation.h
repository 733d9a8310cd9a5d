#pragma once

#include <QString>

namespace video {

// How many degrees clockwise the pictures of the video file at path must be turned to stand
// upright, as the file's orientation tag says (a phone stores an upright video on its side):
// 0, 90, 180 or 270. 0 when the file has no such tag, mirrors its pictures, or cannot be read.
// Reads the file's headers through GStreamer; waits at most a few seconds. Any one thread.
int uprightTurn(const QString& path);

} // namespace video
