#pragma once

// File names on Linux are bytes; Qt 5 decodes them (and the command line) as UTF-8, and a name
// that is not UTF-8 (Latin-1 from an old archive, say) comes out with replacement characters
// that name no file. useByteExactLocalNames() installs, as the local 8-bit codec, UTF-8 in which
// every byte that is not part of valid UTF-8 becomes one of the code points U+DC80..U+DCFF and
// back, so that QFile::decodeName and QFile::encodeName give every name back byte for byte.
// Call once in main, before the application object exists.
class QString;
class QUrl;

namespace core {

void useByteExactLocalNames();

// The file a local file URL names, byte for byte where the codec above is installed:
// QUrl::toLocalFile() turns a byte that is not UTF-8 ("%FF" in a dropped URL) into U+FFFD, and
// file://localhost/x into the network path //localhost/x.
QString localFilePath(const QUrl& url);
// The file URL of a local path, holding the path's own bytes.
QUrl localFileUrl(const QString& path);

} // namespace core
