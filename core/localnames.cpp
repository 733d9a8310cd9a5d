#include "core/localnames.h"

#include <QFile>
#include <QFileInfo>
#include <QTextCodec>
#include <QUrl>

namespace core {

namespace {

constexpr ushort escapedByteBase = 0xdc00;

bool isContinuation(uchar byte)
{
    return (byte & 0xc0) == 0x80;
}

// The length of the valid UTF-8 sequence at bytes[0], or 0 when it is not one (overlong forms,
// encoded surrogates and values above U+10FFFF are not).
int sequenceLength(const uchar* bytes, int available)
{
    const uchar lead = bytes[0];
    int length = 0;
    uchar low = 0x80;
    uchar high = 0xbf;
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;
        high = lead == 0xed ? 0x9f : 0xbf;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (available < length || bytes[1] < low || bytes[1] > high) {
        return 0;
    }
    for (int i = 2; i < length; ++i) {
        if (!isContinuation(bytes[i])) {
            return 0;
        }
    }
    return length;
}

void appendUtf8(QByteArray& out, uint code)
{
    if (code < 0x80) {
        out += char(code);
    } else if (code < 0x800) {
        out += char(0xc0 | (code >> 6));
        out += char(0x80 | (code & 0x3f));
    } else if (code < 0x10000) {
        out += char(0xe0 | (code >> 12));
        out += char(0x80 | ((code >> 6) & 0x3f));
        out += char(0x80 | (code & 0x3f));
    } else {
        out += char(0xf0 | (code >> 18));
        out += char(0x80 | ((code >> 12) & 0x3f));
        out += char(0x80 | ((code >> 6) & 0x3f));
        out += char(0x80 | (code & 0x3f));
    }
}

// Names and arguments are converted whole, so no state is carried between calls.
class ByteExactUtf8Codec : public QTextCodec
{
public:
    QByteArray name() const override { return QByteArrayLiteral("facemask-UTF-8-byte-exact"); }
    int mibEnum() const override { return -106; }

protected:
    QString convertToUnicode(const char* input, int length, ConverterState*) const override
    {
        const auto* bytes = reinterpret_cast<const uchar*>(input);
        QString text;
        text.reserve(length);
        for (int i = 0; i < length;) {
            const int size = sequenceLength(bytes + i, length - i);
            if (size == 0) {
                text += QChar(ushort(escapedByteBase + bytes[i]));
                ++i;
                continue;
            }
            uint code = size == 1 ? bytes[i] : bytes[i] & (0xff >> (size + 1));
            for (int k = 1; k < size; ++k) {
                code = (code << 6) | (bytes[i + k] & 0x3f);
            }
            if (code >= 0x10000) {
                text += QChar(QChar::highSurrogate(code));
                text += QChar(QChar::lowSurrogate(code));
            } else {
                text += QChar(ushort(code));
            }
            i += size;
        }
        return text;
    }

    QByteArray convertFromUnicode(const QChar* input, int length, ConverterState* state) const override
    {
        QByteArray bytes;
        bytes.reserve(length);
        for (int i = 0; i < length; ++i) {
            const ushort code = input[i].unicode();
            if (input[i].isHighSurrogate() && i + 1 < length && input[i + 1].isLowSurrogate()) {
                appendUtf8(bytes, QChar::surrogateToUcs4(input[i], input[i + 1]));
                ++i;
            } else if (code >= escapedByteBase + 0x80 && code <= escapedByteBase + 0xff) {
                bytes += char(code - escapedByteBase);
            } else if (QChar::isSurrogate(code)) {
                bytes += '?';
                if (state) {
                    ++state->invalidChars;
                }
            } else {
                appendUtf8(bytes, code);
            }
        }
        return bytes;
    }
};

} // namespace

void useByteExactLocalNames()
{
    // Qt keeps every codec made until it exits and deletes them then.
    QTextCodec::setCodecForLocale(new ByteExactUtf8Codec);
}

QString localFilePath(const QUrl& url)
{
    // A host (file://server/share) is left to Qt, which turns it into a network path;
    // "localhost" is this machine (RFC 8089), as no host is.
    const QString host = url.host();
    if (!url.isLocalFile() || (!host.isEmpty() && host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) != 0)) {
        return url.toLocalFile();
    }
    return QFile::decodeName(QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()));
}

QUrl localFileUrl(const QString& path)
{
    const QString absolute = QFileInfo(path).absoluteFilePath();
    const QByteArray bytes = QFile::encodeName(absolute);
    // A name in UTF-8 gets Qt's own URL, the one other programs write for it too.
    if (QString::fromUtf8(bytes).toUtf8() == bytes) {
        return QUrl::fromLocalFile(absolute);
    }
    return QUrl::fromEncoded("file://" + bytes.toPercentEncoding("/!$&'()*+,;=:@"), QUrl::StrictMode);
}

} // namespace core
