#include "cli/memorybudget.h"

#include "cli/pictureintake.h"

#include <QFile>

#include <algorithm>

#include <sys/resource.h>

namespace cli {

namespace {

// Measured with /usr/bin/time: a 6000 x 5000 picture raised the peak of make --jobs 1 by 484 MiB
// over a 512 x 512 one, 16.9 bytes per pixel (the picture decoded, its copies for detection, the
// PNG encoded); two 119-megapixel pictures at once were seen to take 3.9 GB. detect, which
// encodes nothing, peaked at 547 MB for one 5000 x 5000 JPEG.
constexpr qint64 bytesPerPixel = 17;
constexpr qint64 fixedNeed = qint64(64) << 20;

// The value of a "Key:   1234 kB" line of a /proc file, in bytes; -1 when absent.
qint64 kilobytesField(const char* file, const QByteArray& key)
{
    QFile proc(QString::fromLatin1(file));
    if (!proc.open(QIODevice::ReadOnly)) {
        return -1;
    }
    // Files under /proc report size 0, so read them line by line.
    for (QByteArray line = proc.readLine(); !line.isEmpty(); line = proc.readLine()) {
        if (line.startsWith(key + ':')) {
            const QList<QByteArray> words = line.mid(key.size() + 1).simplified().split(' ');
            bool number = false;
            const qint64 kilobytes = words.value(0).toLongLong(&number);
            return number ? kilobytes * 1024 : -1;
        }
    }
    return -1;
}

} // namespace

qint64 availableMemory(qint64 reserve)
{
    qint64 available = kilobytesField("/proc/meminfo", "MemAvailable");
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        const qint64 used = std::max<qint64>(0, kilobytesField("/proc/self/status", "VmSize"));
        const qint64 room = qint64(limit.rlim_cur) - used;
        available = available < 0 ? room : std::min(available, room);
    }
    if (available < 0) {
        return 0;
    }
    return std::max<qint64>(1, available - reserve);
}

qint64 packageMemoryNeed(QSize declared)
{
    const qint64 pixels = declared.isValid() ? qint64(declared.width()) * declared.height() : 0;
    return fixedNeed + pixels * bytesPerPixel;
}

MemoryBound pictureMemoryBound(const QStringList& pictures, int jobs)
{
    constexpr qint64 perThreadReserve = qint64(128) << 20;
    MemoryBound bound;
    bound.budget = availableMemory(perThreadReserve * jobs);
    for (const QString& picture : pictures) {
        bound.needs.push_back(packageMemoryNeed(declaredPictureSize(picture)));
    }
    return bound;
}

} // namespace cli
