#pragma once

#include <QString>

#include <chrono>

namespace video {

// The widest and the tallest video frame read, in pixels: 8K pictures (8192 x 4320) and square
// ones up to 8192 x 8192. A small file can declare frames of any size, and every decoded frame is
// held several times over on the way; stills have their bound (120 megapixels) for the same
// reason.
constexpr int maximumFrameSide = 8192;

// What the headers of a video file say about its pictures.
struct VideoShape {
    // Degrees clockwise that make the pictures upright, as the file's orientation tag says (a
    // phone stores an upright video on its side): 0, 90, 180 or 270; 0 without such a tag, for
    // mirrored pictures, or when unknown.
    int turn = 0;
    // The stored frames' size; 0 when unknown.
    int width = 0;
    int height = 0;
    // How long the file says it lasts, in seconds (its longest stream); 0 when unknown.
    double duration = 0;
    // The frames per second its video stream declares; 0 when unknown or variable.
    double frameRate = 0;
    // The headers were read and list no video stream that can be played (a file of sound only).
    bool noVideo = false;
    // The declared length counts from the file's own 0 rather than from its first frame: a
    // Matroska or WebM file whose first frame is stamped an hour in declares that hour too (an
    // MP4 trimmed by its edit list declares only what it shows).
    bool lengthFromFileZero = false;
    // A GStreamer plugin its pictures need is not installed (the demuxer of its container or the
    // decoder of its video, or an element of the player's): what is missing and which Debian
    // package brings it, for the user ("GStreamer's H.264 (High Profile) decoder, which is not
    // installed: install gstreamer1.0-libav"). Empty when nothing is missing, or only a decoder
    // of its sound, which is never played.
    QString missingPlugin;
    // The file is of a type that is never a video, whatever is installed (an archive, a package
    // too, a document or a program): that type ("application/zip"); empty otherwise.
    QString notMedia;
    // GStreamer failed on the file's contents while reading its headers (its demuxer or decoder
    // found it damaged): the error's text ("Could not demultiplex stream."); empty otherwise, and
    // for a read that failed or timed out. Playing such a file fails the same way, but GStreamer
    // can lose an error that comes while it is still setting up the file's demuxer, and the
    // frames then never come and no error is told. Also a demuxer or decoder that is installed
    // but refused the file ("GStreamer's H.264 (High Profile) decoder is installed but refuses
    // it"), which GStreamer reports as missing.
    QString undecodable;
};

// Reads the headers of the video file at path through GStreamer. A read that times out after
// firstWait while the program was held still (stopped and continued, or not run for half a
// second) is tried once more, waiting up to 30 s, so that it does not lose the shape. A file that
// cannot be read gives the empty shape. Any one thread.
VideoShape videoShape(const QString& path, std::chrono::milliseconds firstWait = std::chrono::seconds(5));

// Why frames of the shape are not read ("its frames are 16000 x 16000 pixels; ..."), empty when
// they are.
QString frameSizeProblem(const VideoShape& shape);
// Why a file of the shape is not played: a plugin it needs is missing, it is no video at all
// ("it is not a video but a file of type application/zip"), it holds no video stream, or
// frameSizeProblem(); empty when it is.
QString shapeProblem(const VideoShape& shape);

} // namespace video
