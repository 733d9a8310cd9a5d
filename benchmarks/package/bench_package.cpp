// Prints how long saving and loading a package of a 4000 x 3000 photograph takes, next to the sum
// of the work that cannot be avoided: Qt's PNG and JPEG codecs on the same pictures and zlib's raw
// Deflate (level 8) or Inflate of the same member bytes; then each part of the save on its own
// (our PNG encode, the thumbnails, the archive), our PNG reader in two strips and in one piece,
// and the targets as ratios to Qt measured in the same run. Nothing is asserted.

#include "core/facemaskproject.h"
#include "core/facialpoints.h"
#include "core/imagefiles.h"
#include "core/packageformat.h"
#include "core/pngcodec.h"
#include "core/thumbnaildrawing.h"
#include "zip/ziparchive.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QFileInfo>
#include <QElapsedTimer>
#include <QImage>
#include <QTemporaryDir>
#include <QtEndian>

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <vector>

namespace {

constexpr int repetitions = 5;

double threadCpuMilliseconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// One measured piece of work. The pieces are run in turns, one repetition of each after the
// other, so that a busy machine slows all of them alike; the medians are compared.
struct Measured {
    const char* label;
    std::function<void()> work;
    std::vector<double> wall;
    std::vector<double> cpu;

    void runOnce()
    {
        QElapsedTimer timer;
        const double cpuStart = threadCpuMilliseconds();
        timer.start();
        work();
        wall.push_back(timer.nsecsElapsed() / 1e6);
        cpu.push_back(threadCpuMilliseconds() - cpuStart);
    }
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void runInTurns(std::vector<Measured*> pieces)
{
    for (int i = 0; i < repetitions; ++i) {
        for (Measured* piece : pieces) {
            piece->runOnce();
        }
    }
}

QByteArray encoded(const QImage& picture, const char* format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, format);
    return bytes;
}

QByteArray rawDeflate(const QByteArray& input)
{
    z_stream stream{};
    deflateInit2(&stream, 8, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    QByteArray output(int(deflateBound(&stream, uLong(input.size()))), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.constData()));
    stream.avail_in = uInt(input.size());
    stream.next_out = reinterpret_cast<Bytef*>(output.data());
    stream.avail_out = uInt(output.size());
    deflate(&stream, Z_FINISH);
    output.resize(int(stream.total_out));
    deflateEnd(&stream);
    return output;
}

QByteArray rawInflate(const QByteArray& input, int size)
{
    z_stream stream{};
    inflateInit2(&stream, -15);
    QByteArray output(size, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.constData()));
    stream.avail_in = uInt(input.size());
    stream.next_out = reinterpret_cast<Bytef*>(output.data());
    stream.avail_out = uInt(output.size());
    inflate(&stream, Z_FINISH);
    inflateEnd(&stream);
    return output;
}

core::FacialPointVector seventyFivePoints()
{
    core::FacialPointVector points;
    for (int i = 0; i < 75; ++i) {
        points.emplace_back(0.2 + 0.6 * i / 74.0, 0.3 + 0.4 * ((i * 37) % 75) / 74.0);
    }
    return points;
}

struct Difference {
    int largest = 0;
    double mean = 0;
};

// Over the red, green and blue of every pixel.
Difference difference(const QImage& first, const QImage& second)
{
    const QImage a = first.convertToFormat(QImage::Format_RGB32);
    const QImage b = second.convertToFormat(QImage::Format_RGB32);
    Difference apart;
    qint64 total = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            for (int d : {qRed(p) - qRed(q), qGreen(p) - qGreen(q), qBlue(p) - qBlue(q)}) {
                apart.largest = std::max(apart.largest, std::abs(d));
                total += std::abs(d);
            }
        }
    }
    apart.mean = double(total) / (3.0 * a.width() * a.height());
    return apart;
}

void printRow(const Measured& piece)
{
    std::printf("  %-46s %10.1f %10.1f\n", piece.label, median(piece.wall), median(piece.cpu));
}

void printSum(const char* label, const std::vector<const Measured*>& parts, const Measured& whole)
{
    double wall = 0;
    double cpu = 0;
    for (const Measured* part : parts) {
        wall += median(part->wall);
        cpu += median(part->cpu);
    }
    std::printf("  %-46s %10.1f %10.1f\n", label, wall, cpu);
    std::printf("  %-46s %+9.1f%% %+9.1f%%\n", "package code on top of them",
                100.0 * (median(whole.wall) - wall) / wall, 100.0 * (median(whole.cpu) - cpu) / cpu);
}

// The file without its stRP chunk: read in one piece, as any file written elsewhere.
QByteArray withoutStripMarker(const QByteArray& png)
{
    QByteArray out = png.left(8);
    for (int position = 8; position + 12 <= png.size();) {
        const int length = int(qFromBigEndian<quint32>(png.constData() + position));
        if (png.mid(position + 4, 4) != "stRP") {
            out += png.mid(position, 12 + length);
        }
        position += 12 + length;
    }
    return out;
}

// The archive part of a save: the six members written to a file as the save writes them.
bool writeMembers(const QString& path, const std::vector<std::pair<const char*, QByteArray>>& members)
{
    HZIP archive = archiveCreateFile(reinterpret_cast<const char16_t*>(path.utf16()), nullptr);
    if (!archive) {
        return false;
    }
    bool written = true;
    for (const auto& [name, bytes] : members) {
        written = written
            && archiveAddBufferAtLevel(archive, reinterpret_cast<const char16_t*>(QString::fromUtf8(name).utf16()),
                                       bytes.constData(), quint32(bytes.size()), kArchiveAutomaticLevel)
                == ArchiveResult::Ok;
    }
    return archiveClose(archive) == ArchiveResult::Ok && written;
}

void printTarget(const char* label, double ratio, double target, double aim)
{
    if (aim > 0) {
        std::printf("  %-58s %6.3f  (target %.2f, aim %.2f): %s\n", label, ratio, target, aim,
                    ratio <= aim ? "aim met" : ratio <= target ? "target met" : "MISSED");
    } else {
        std::printf("  %-58s %6.3f  (target %.2f): %s\n", label, ratio, target,
                    ratio <= target ? "target met" : "MISSED");
    }
}

// The package picture's codec on its own: today's Qt PNG path (BEFORE) against core::png with
// its default settings (AFTER) and the alternatives it was chosen from, in the same run.
void compareCodecs(const QImage& picture, const QByteArray& qtPng)
{
    using core::png::EncodeSettings;
    using core::png::Filter;
    struct Variant {
        const char* label;
        EncodeSettings settings;
        QByteArray bytes;
    };
    std::vector<Variant> variants{
        {"AFTER  default (level 1, Up, two threads)", EncodeSettings(), {}},
        {"       level 1, Up, one thread", {1, Filter::Up, false}, {}},
        {"       level 2, Up, two threads", {2, Filter::Up, true}, {}},
        {"       level 1, adaptive, two threads", {1, Filter::Adaptive, true}, {}},
        {"       level 1, Paeth, two threads", {1, Filter::Paeth, true}, {}},
        {"       level 0 (stored), Up, two threads", {0, Filter::Up, true}, {}},
    };
    Measured qtEncode{"BEFORE Qt PNG encode (today's save)", [&] { encoded(picture, "png"); }, {}, {}};
    std::vector<Measured> encodes;
    for (Variant& variant : variants) {
        variant.bytes = core::png::encode(picture, variant.settings);
        encodes.push_back({variant.label, [&picture, &variant] { core::png::encode(picture, variant.settings); }, {}, {}});
    }
    std::vector<Measured*> turns{&qtEncode};
    for (Measured& encode : encodes) {
        turns.push_back(&encode);
    }
    runInTurns(turns);

    const QByteArray& ours = variants.front().bytes;
    Measured qtDecode{"BEFORE Qt decode of the Qt-written file", [&] { QImage::fromData(qtPng, "png"); }, {}, {}};
    Measured ourDecode{"AFTER  core::png::decode of our file", [&] { core::png::decode(ours); }, {}, {}};
    Measured ourDecodeOfQt{"       core::png::decode of the Qt-written file", [&] { core::png::decode(qtPng); }, {}, {}};
    Measured qtDecodeOfOurs{"       Qt decode of our file", [&] { QImage::fromData(ours, "png"); }, {}, {}};
    const QByteArray onePiece = withoutStripMarker(ours);
    Measured ourDecodeOnePiece{"       core::png::decode, our file without stRP", [&] { core::png::decode(onePiece); }, {}, {}};
    runInTurns({&qtDecode, &ourDecode, &ourDecodeOfQt, &qtDecodeOfOurs, &ourDecodeOnePiece});
    // Files as cameras and editors write them: one piece, rows filtered against their left
    // neighbour (Sub, Paeth) or by the filter each row compresses best with.
    struct Foreign {
        const char* ours;
        const char* qt;
        EncodeSettings settings;
        QByteArray bytes;
    };
    std::vector<Foreign> foreign{
        {"       core::png::decode, Sub, one piece", "       Qt decode of the same file", {6, Filter::Sub, false}, {}},
        {"       core::png::decode, Paeth, one piece", "       Qt decode of the same file", {6, Filter::Paeth, false}, {}},
        {"       core::png::decode, adaptive, one piece", "       Qt decode of the same file", {6, Filter::Adaptive, false}, {}},
    };
    std::vector<Measured> foreignDecodes;
    bool foreignSame = true;
    for (Foreign& file : foreign) {
        file.bytes = core::png::encode(picture, file.settings);
        foreignSame = foreignSame && core::png::decode(file.bytes) == picture.convertToFormat(QImage::Format_RGB32);
        foreignDecodes.push_back({file.ours, [&file] { core::png::decode(file.bytes); }, {}, {}});
        foreignDecodes.push_back({file.qt, [&file] { QImage::fromData(file.bytes, "png"); }, {}, {}});
    }
    std::vector<Measured*> foreignTurns;
    for (Measured& decode : foreignDecodes) {
        foreignTurns.push_back(&decode);
    }
    runInTurns(foreignTurns);
    core::png::DecodeReport report;
    core::png::decode(ours, nullptr, &report);

    const bool same = core::png::decode(ours) == picture.convertToFormat(QImage::Format_RGB32)
                      && QImage::fromData(ours, "png").convertToFormat(QImage::Format_RGB32) == picture;
    std::printf("PNG codec of the 4000x3000 picture (both readers give back its pixels: %s; "
                "our file read in two strips: %s)\n",
                same ? "yes" : "NO", report.twoStrips ? "yes" : "NO");
    std::printf("  %-46s %10s %10s %8s %10s %7s\n", "", "wall ms", "CPU ms", "x Qt", "bytes", "x Qt");
    const double qtWall = median(qtEncode.wall);
    std::printf("  %-46s %10.1f %10.1f %8.3f %10d %7.3f\n", qtEncode.label, qtWall,
                median(qtEncode.cpu), 1.0, qtPng.size(), 1.0);
    for (size_t i = 0; i < variants.size(); ++i) {
        std::printf("  %-46s %10.1f %10.1f %8.3f %10d %7.3f\n", encodes[i].label,
                    median(encodes[i].wall), median(encodes[i].cpu), median(encodes[i].wall) / qtWall,
                    variants[i].bytes.size(), double(variants[i].bytes.size()) / qtPng.size());
    }
    const double qtDecodeWall = median(qtDecode.wall);
    for (const Measured* row : {&qtDecode, &ourDecode, &ourDecodeOfQt, &qtDecodeOfOurs, &ourDecodeOnePiece}) {
        std::printf("  %-46s %10.1f %10.1f %8.3f\n", row->label, median(row->wall), median(row->cpu),
                    median(row->wall) / qtDecodeWall);
    }
    std::printf("  files of one piece read back as the picture: %s; x Qt is to Qt's decode of the same file\n",
                foreignSame ? "yes" : "NO");
    for (size_t i = 0; i + 1 < foreignDecodes.size(); i += 2) {
        const double qtWall = median(foreignDecodes[i + 1].wall);
        for (const Measured* row : {&foreignDecodes[i], &foreignDecodes[i + 1]}) {
            std::printf("  %-46s %10.1f %10.1f %8.3f\n", row->label, median(row->wall), median(row->cpu),
                        median(row->wall) / qtWall);
        }
    }
    std::printf("target\n");
    printTarget("core::png::decode of our file / Qt decode of the same file",
                median(ourDecode.wall) / median(qtDecodeOfOurs.wall), 0.5, 0);
}

double processCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

double secondsOf(const std::function<void()>& work)
{
    QElapsedTimer timer;
    timer.start();
    work();
    return timer.nsecsElapsed() / 1e9;
}

// One save and one load of a 12000 x 9000 picture, next to one Qt PNG encode of it.
void saveAndLoadLargePicture(const QImage& photograph, const QString& path)
{
    const QImage large = photograph.scaled(12000, 9000, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    core::FaceMaskProject project;
    project.setName(QStringLiteral("Large"));
    project.setEffectType(1);
    project.facialPoints()->setImage(large);
    project.facialPoints()->setPoints(seventyFivePoints());
    bool saved = false;
    bool loaded = false;
    core::FaceMaskProject target;
    const double save = secondsOf([&] { saved = project.save(path); });
    const double load = secondsOf([&] { loaded = target.load(path); });
    QByteArray ours;
    const double encode = secondsOf([&] { ours = core::png::encode(large); });
    const double decode = secondsOf([&] { core::png::decode(ours); });
    QByteArray qtPng;
    const double qtEncode = secondsOf([&] { qtPng = encoded(large, "png"); });
    const double qtDecode = secondsOf([&] { QImage::fromData(qtPng, "png"); });
    std::printf("12000x9000 picture (%.0f megapixels; pictures above %lld are refused), one run each\n",
                large.width() * double(large.height()) / 1e6,
                static_cast<long long>(core::maximumPicturePixels / 1'000'000));
    std::printf("  FaceMaskProject::save %.2f s (%s, %lld bytes), load %.2f s (%s)\n", save,
                saved ? "saved" : "FAILED", static_cast<long long>(QFileInfo(path).size()), load,
                loaded && target.facialPoints()->image().size() == large.size() ? "loaded" : "FAILED");
    std::printf("  AFTER  core::png encode %.2f s (%d bytes), decode %.2f s\n", encode, ours.size(), decode);
    std::printf("  BEFORE Qt PNG encode %.2f s (%d bytes), decode %.2f s\n", qtEncode, qtPng.size(), qtDecode);
    // The ratio of the target from three saves and three Qt encodes taken in turns: one run of
    // each is at the mercy of whatever else the machine does meanwhile. The processor time of
    // all threads is printed beside: on a busy machine it tells the work apart from the waiting.
    std::vector<double> saves{save};
    std::vector<double> qtEncodes{qtEncode};
    std::vector<double> saveCpu;
    std::vector<double> qtEncodeCpu;
    for (int i = 0; i < 2; ++i) {
        double cpu = processCpuSeconds();
        saves.push_back(secondsOf([&] { project.save(path); }));
        saveCpu.push_back(processCpuSeconds() - cpu);
        cpu = processCpuSeconds();
        qtEncodes.push_back(secondsOf([&] { encoded(large, "png"); }));
        qtEncodeCpu.push_back(processCpuSeconds() - cpu);
    }
    std::printf("  three runs in turns: save %.2f s, Qt PNG encode %.2f s (medians); processor time "
                "of all threads, two runs: save %.2f s, Qt PNG encode %.2f s\n",
                median(saves), median(qtEncodes), median(saveCpu), median(qtEncodeCpu));
    std::printf("target\n");
    printTarget("12000x9000 FaceMaskProject::save / Qt PNG encode", median(saves) / median(qtEncodes), 0.3, 0);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    const QImage photograph(QStringLiteral(FACEMASK_TEST_DATA_DIR "/faces/bald_guys.jpg"));
    if (photograph.isNull()) {
        std::fprintf(stderr, "cannot read the test photograph\n");
        return 1;
    }
    const QImage picture =
        photograph.scaled(4000, 3000, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("bench.pmk"));

    core::FaceMaskProject project;
    project.setName(QStringLiteral("Benchmark"));
    project.setEffectType(1);
    project.facialPoints()->setImage(picture);
    project.facialPoints()->setPoints(seventyFivePoints());

    // The members exactly as a save produces them, to feed the reference codecs.
    using namespace core::package;
    const QImage thumbnails[] = {makeThumbnail(picture, smallThumbnailSize),
                                 makeThumbnail(picture, mediumThumbnailSize),
                                 makeThumbnail(picture, largeThumbnailSize)};
    const QByteArray properties = buildPropertiesDocument("Benchmark", "Pellora", "Face Masks", today());
    const QByteArray effect = buildEffectDocument(1, seventyFivePoints());
    const QByteArray png = encoded(picture, "png");
    const std::vector<QByteArray> members{properties, effect, png, encoded(thumbnails[0], "jpg"),
                                          encoded(thumbnails[1], "jpg"), encoded(thumbnails[2], "jpg")};
    std::vector<QByteArray> deflated;
    for (const QByteArray& member : members) {
        deflated.push_back(rawDeflate(member));
    }

    Measured save{"FaceMaskProject::save", [&] { project.save(path); }, {}, {}};
    Measured pngEncode{"Qt PNG encode of the picture", [&] { encoded(picture, "png"); }, {}, {}};
    Measured jpegEncode{"Qt JPEG encode of the three thumbnails", [&] {
                            for (const QImage& thumbnail : thumbnails) {
                                encoded(thumbnail, "jpg");
                            }
                        }, {}, {}};
    Measured deflateAll{"zlib raw Deflate level 8 of the six members", [&] {
                            for (const QByteArray& member : members) {
                                rawDeflate(member);
                            }
                        }, {}, {}};
    // Small and large share one size: a save draws two thumbnails.
    Measured thumbnailScaling{"(not counted: 2 thumbnails from a reduced copy)", [&] {
                                  makeThumbnails(picture, {largeThumbnailSize, mediumThumbnailSize});
                              }, {}, {}};
    Measured thumbnailPainting{"(not counted: the 2 painted from the picture)", [&] {
                                   paintThumbnail(picture, largeThumbnailSize);
                                   paintThumbnail(picture, mediumThumbnailSize);
                               }, {}, {}};
    // The parts of our save on their own; the save runs the thumbnails beside the encode.
    const QByteArray ourPng = core::png::encode(picture);
    const QByteArray largeJpeg = encoded(thumbnails[2], "jpg");
    const QByteArray mediumJpeg = encoded(thumbnails[1], "jpg");
    const std::vector<std::pair<const char*, QByteArray>> ourMembers{
        {propertiesMember, properties}, {effectMember, effect}, {pictureMember, ourPng},
        {smallThumbnailMember, largeJpeg}, {mediumThumbnailMember, mediumJpeg}, {largeThumbnailMember, largeJpeg}};
    const QString partsPath = folder.filePath(QStringLiteral("parts.pmk"));
    Measured ourEncode{"part: core::png::encode of the picture", [&] { core::png::encode(picture); }, {}, {}};
    Measured ourThumbnails{"part: thumbnails as saved (2 drawn, 2 JPEG)", [&] {
                               for (const QImage& drawn :
                                    makeThumbnails(picture, {largeThumbnailSize, mediumThumbnailSize})) {
                                   encoded(drawn, "jpg");
                               }
                           }, {}, {}};
    Measured ourArchive{"part: archive of the six members to a file", [&] { writeMembers(partsPath, ourMembers); }, {}, {}};
    runInTurns({&save, &pngEncode, &jpegEncode, &deflateAll, &thumbnailScaling, &thumbnailPainting,
                &ourEncode, &ourThumbnails, &ourArchive});

    // Load reads the two documents and the picture back.
    core::FaceMaskProject target;
    Measured load{"FaceMaskProject::load", [&] { target.load(path); }, {}, {}};
    Measured pngDecode{"Qt PNG decode of the picture", [&] { QImage::fromData(png, "png"); }, {}, {}};
    Measured inflateRead{"zlib raw Inflate of the three members read", [&] {
                             for (int i : {0, 1, 2}) {
                                 rawInflate(deflated[size_t(i)], members[size_t(i)].size());
                             }
                         }, {}, {}};
    Measured ourDecode{"part: core::png::decode of the package picture", [&] { core::png::decode(ourPng); }, {}, {}};
    runInTurns({&load, &pngDecode, &inflateRead, &ourDecode});

    qint64 memberBytes = 0;
    qint64 deflatedBytes = 0;
    for (size_t i = 0; i < members.size(); ++i) {
        memberBytes += members[i].size();
        deflatedBytes += deflated[i].size();
    }

    std::printf("Package of a 4000x3000 picture (bald_guys.jpg scaled up), 75 points; "
                "median of %d runs taken in turns\n", repetitions);
    std::printf("members: %lld bytes, %lld after raw Deflate level 8 (PNG %d bytes); "
                "the package loads back: %s\n",
                static_cast<long long>(memberBytes), static_cast<long long>(deflatedBytes),
                png.size(), target.facialPoints()->image().size() == picture.size() ? "yes" : "NO");
    std::printf("  %-46s %10s %10s\n", "", "wall ms", "CPU ms");
    std::printf("save\n");
    for (const Measured* row : {&save, &pngEncode, &jpegEncode, &deflateAll}) {
        printRow(*row);
    }
    printSum("sum of the unavoidable parts", {&pngEncode, &jpegEncode, &deflateAll}, save);
    printRow(thumbnailScaling);
    printRow(thumbnailPainting);
    for (const QSize& size : {largeThumbnailSize, mediumThumbnailSize}) {
        const Difference apart = difference(makeThumbnails(picture, {size}).front(), paintThumbnail(picture, size));
        std::printf("  %dx%d from the reduced copy against painted, before JPEG: largest %d, mean %.3f grey levels\n",
                    size.width(), size.height(), apart.largest, apart.mean);
    }
    for (const Measured* row : {&ourEncode, &ourThumbnails, &ourArchive}) {
        printRow(*row);
    }
    std::printf("  %-46s %10.1f %10s\n", "sum of the parts, one after the other",
                median(ourEncode.wall) + median(ourThumbnails.wall) + median(ourArchive.wall), "");
    std::printf("load\n");
    for (const Measured* row : {&load, &pngDecode, &inflateRead}) {
        printRow(*row);
    }
    printSum("sum of the unavoidable parts", {&pngDecode, &inflateRead}, load);
    printRow(ourDecode);
    std::printf("target\n");
    printTarget("FaceMaskProject::save / Qt PNG encode of the picture", median(save.wall) / median(pngEncode.wall), 0.12, 0.08);
    printTarget("FaceMaskProject::load / Qt decode of a Qt-written PNG", median(load.wall) / median(pngDecode.wall), 0.5, 0.25);

    // Today's package holds Qt's PNG deflated again at level 8: its members' deflated bytes,
    // without the few hundred bytes of ZIP headers, stand for today's file.
    const qint64 packageBytes = QFileInfo(path).size();
    std::printf("package file %lld bytes; today's members after Deflate level 8 %lld bytes; ratio %.3f\n",
                static_cast<long long>(packageBytes), static_cast<long long>(deflatedBytes),
                double(packageBytes) / double(deflatedBytes));
    std::printf("\n");
    compareCodecs(picture, png);
    std::printf("\n");
    saveAndLoadLargePicture(photograph, folder.filePath(QStringLiteral("large.pmk")));
    return 0;
}
