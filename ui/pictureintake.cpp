#include "ui/pictureintake.h"

#include "ui/answerwithin.h"

#include "ui/backgroundreader.h"
#include "core/imagefiles.h"
#include "core/localnames.h"
#include "ui/prompts.h"
#include "ui/waitclock.h"

#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QMimeData>
#include <QPointer>
#include <QUrl>
#include <QVariant>

#include <sys/stat.h>

namespace ui {

namespace {

const QString pastedSource = QStringLiteral("the pasted picture");

QImage imageFromVariant(const QVariant& value)
{
    if (value.userType() == qMetaTypeId<QImage>() || value.canConvert<QImage>()) {
        return value.value<QImage>();
    }
    return QImage();
}

// The encoded picture the data carries, PNG preferred; empty when it carries none. Image data
// put there by this process has no encoded form and is left to imageData().
QByteArray encodedPicture(const QMimeData* data)
{
    const QStringList formats = data->formats();
    QStringList candidates;
    if (formats.contains(QStringLiteral("image/png"))) {
        candidates.append(QStringLiteral("image/png"));
    }
    for (const QString& format : formats) {
        if (format.startsWith(QLatin1String("image/")) && format != QLatin1String("image/png")) {
            candidates.append(format);
        }
    }
    for (const QString& format : candidates) {
        const QByteArray bytes = data->data(format);
        if (!bytes.isEmpty()) {
            return bytes;
        }
    }
    return QByteArray();
}

// The files the data names: its URL list, else the files a GTK file manager copied
// ("copy" or "cut", then one URL a line), which it may offer without a URL list.
QList<QUrl> fileUrls(const QMimeData* data)
{
    const QList<QUrl> urls = data->urls();
    const QString copiedFiles = QStringLiteral("x-special/gnome-copied-files");
    if (!urls.isEmpty() || !data->hasFormat(copiedFiles)) {
        return urls;
    }
    QList<QUrl> files;
    const QList<QByteArray> lines = data->data(copiedFiles).split('\n');
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        if (!line.isEmpty()) {
            files.append(QUrl::fromEncoded(line));
        }
    }
    return files;
}

// The picture a data: URL among the data's URLs holds ("data:image/png;base64,…", as a browser
// drags a picture embedded in its page); empty when there is none.
QByteArray dataUrlPicture(const QMimeData* data)
{
    for (const QUrl& url : data->urls()) {
        if (url.scheme() != QLatin1String("data")) {
            continue;
        }
        const QByteArray text = url.toEncoded(QUrl::RemoveScheme);
        const int comma = text.indexOf(',');
        const QByteArray header = comma < 0 ? QByteArray() : QByteArray::fromPercentEncoding(text.left(comma));
        if (!header.startsWith("image/")) {
            continue;
        }
        const QByteArray payload = QByteArray::fromPercentEncoding(text.mid(comma + 1));
        return header.endsWith(";base64") ? QByteArray::fromBase64(payload) : payload;
    }
    return QByteArray();
}

// Whether url, a web address the data gives without the picture's bytes, names a picture: its
// name ends as a picture file's does, or the page's HTML beside it shows it as one (<img src=…>,
// as a browser drags a picture). The address of a page (a link copied) is neither.
bool namesAPicture(const QMimeData* data, const QUrl& url)
{
    const QByteArray suffix = QFileInfo(url.path()).suffix().toLower().toLatin1();
    if (!suffix.isEmpty() && QImageReader::supportedImageFormats().contains(suffix)) {
        return true;
    }
    const QString html = data->html();
    if (!html.contains(QLatin1String("<img"), Qt::CaseInsensitive)) {
        return false;
    }
    for (const QString& address : {url.toString(QUrl::FullyEncoded), url.toString()}) {
        if (html.contains(address) || html.contains(address.toHtmlEscaped())) {
            return true;
        }
    }
    return false;
}

// A long address cut to fit a message, with "…".
QString elided(const QString& text)
{
    constexpr int longest = 100;
    return text.size() <= longest ? text : text.left(longest - 1) + QChar(0x2026);
}

// How long a dropped or pasted file's drive is waited for before it is taken as gone away.
constexpr std::chrono::milliseconds fileCheckTimeout{2000};

// stat(2) never waits, even on a FIFO; open(2) on one would wait for a writer.
bool isRegularFile(const QString& path)
{
    struct stat status {};
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 && S_ISREG(status.st_mode);
}

bool exists(const QString& path)
{
    struct stat status {};
    return ::stat(QFile::encodeName(path).constData(), &status) == 0;
}

} // namespace

class PictureIntake::Impl
{
public:
    Impl(PictureIntake* owner, PromptSession* given)
        : q(owner)
        , ownSession(given ? nullptr : std::make_unique<PromptSession>())
        , session(given ? *given : *ownSession)
    {
    }

    // "The pasted picture" or "File "path"", as the messages about a picture name it.
    static QString pictureNamed(const QString& source)
    {
        return source == pastedSource ? QStringLiteral("The pasted picture") : QStringLiteral("File \"%1\"").arg(source);
    }

    void refuse(const QString& source, const QString& reason) const
    {
        session.prompts().warning(QStringLiteral("Error"),
                                  pictureNamed(source) + QStringLiteral(" was not load.\n") + reason);
    }

    // A package that is being opened would replace the picture right after, or the picture
    // would take the package's place while a question about it is open. again: "Paste or drop"
    // or "Open".
    bool refusedForPackage(const QString& again) const
    {
        if (!packageReader || !packageReader->isReadingPackage()) {
            return false;
        }
        session.prompts().warning(
            QStringLiteral("Error"),
            QStringLiteral("A package is being opened. %1 the picture again once it is open, or "
                           "cancel the opening first.").arg(again));
        return true;
    }

    void onPictureRead(const QString& source, const core::ImageDecoding& decoding)
    {
        if (!decoding.picture.isNull()) {
            waitclock::step("picture read");
            // Taken before a word is said of it: the box speaks of the picture shown behind it,
            // and the window's work on it (its face search) does not wait for the box. Counted
            // first: a question the window asks as it takes the picture lets other reads start.
            const int given = filesGiven;
            emit q->pictureTaken(decoding.picture);
            // Taken all the same, as other programs show it; the user learns why part is grey.
            if (!decoding.warning.isEmpty()) {
                session.prompts().warning(QStringLiteral("Picture"), pictureNamed(source) + QStringLiteral(" was opened, but ")
                                                                         + decoding.warning + QLatin1Char('.'));
            }
            // A user who gave several photos may expect them all to be taken.
            if (given > 1) {
                const int others = given - 1;
                QString text = QStringLiteral("File \"%1\" was opened; ").arg(source)
                    + (others == 1 ? QStringLiteral("the other file given with it was not")
                                   : QStringLiteral("the %1 other files given with it were not").arg(others))
                    + QStringLiteral(": the window takes one picture at a time.");
                if (!severalFilesHint.isEmpty()) {
                    text += QLatin1Char('\n') + severalFilesHint;
                }
                session.prompts().warning(QStringLiteral("Picture"), text);
            }
            return;
        }
        // Pasted or dropped data that holds no picture is not worth a message.
        if (!(tellNoPicture || !core::isNoPicture(decoding.reason))) {
            return;
        }
        refuse(source, decoding.reason);
    }

    PictureIntake* q;
    std::unique_ptr<PromptSession> ownSession;
    PromptSession& session;
    BackgroundReader reader;
    QPointer<const BackgroundReader> packageReader;
    std::function<bool(const QString&)> fileOpener;
    std::function<bool(const QString&)> contentRecogniser;
    std::function<void(const QString&)> contentOpener;
    bool tellNoPicture = false;
    int filesGiven = 1;  // the picture files of the read, pasted or dropped together
    QString severalFilesHint;
};

PictureIntake::PictureIntake(PromptSession* session) : d(std::make_unique<Impl>(this, session))
{
    connect(&d->reader, &BackgroundReader::pictureRead, this,
            [this](const QString& source, const core::ImageDecoding& decoding) {
                d->onPictureRead(source, decoding);
            });
    connect(&d->reader, &BackgroundReader::otherFileRead, this, [this](const QString& path) {
        if (d->contentOpener) {
            d->contentOpener(path);
        }
        tellFilesLeftOut(path, d->filesGiven - 1);
    });
}

PictureIntake::~PictureIntake() = default;

void PictureIntake::setProgressOwner(QWidget* owner)
{
    d->reader.setProgressOwner(owner);
}

void PictureIntake::setPackageReader(const BackgroundReader* packageReader)
{
    d->packageReader = packageReader;
}

void PictureIntake::setFileOpener(std::function<bool(const QString& path)> opener)
{
    d->fileOpener = std::move(opener);
}

void PictureIntake::setContentOpener(std::function<bool(const QString& path)> recognise,
                                     std::function<void(const QString& path)> open)
{
    d->contentRecogniser = std::move(recognise);
    d->contentOpener = std::move(open);
}

void PictureIntake::setSeveralFilesHint(const QString& hint)
{
    d->severalFilesHint = hint;
}

void PictureIntake::tellFilesLeftOut(const QString& opened, int others)
{
    if (others <= 0) {
        return;
    }
    d->session.prompts().warning(
        QStringLiteral("Picture"),
        (others == 1 ? QStringLiteral("The other file given with \"%1\" was not opened").arg(opened)
                     : QStringLiteral("The %1 other files given with \"%2\" were not opened").arg(QString::number(others), opened))
            + QStringLiteral(": the window takes one file at a time."));
}

void PictureIntake::openFile(const QString& path)
{
    if (d->refusedForPackage(QStringLiteral("Open"))) {
        return;
    }
    d->tellNoPicture = true;
    d->filesGiven = 1;
    d->reader.readPicture(path);
}

bool PictureIntake::takeMimeData(const QMimeData* data)
{
    if (!data) {
        return false;
    }
    QByteArray bytes = encodedPicture(data);
    if (bytes.isEmpty()) {
        bytes = dataUrlPicture(data);
    }
    const QImage decoded = bytes.isEmpty() && data->hasImage() ? imageFromVariant(data->imageData()) : QImage();
    QStringList local;
    QUrl remote;
    if (bytes.isEmpty() && decoded.isNull()) {
        for (const QUrl& url : fileUrls(data)) {
            if (url.isLocalFile()) {
                local.append(core::localFilePath(url));
            } else if (remote.isEmpty() && !url.scheme().isEmpty() && namesAPicture(data, url)) {
                remote = url;
            }
        }
    }
    if (!local.isEmpty() && d->fileOpener && d->fileOpener(local.front())) {
        tellFilesLeftOut(local.front(), int(local.size()) - 1);
        return true;
    }
    // A browser that drags a picture may give its address alone: it is not fetched from here.
    if (local.isEmpty() && !remote.isEmpty() && bytes.isEmpty() && decoded.isNull()) {
        d->session.prompts().warning(
            QStringLiteral("Error"),
            QStringLiteral("The picture at \"%1\" was not load.\nIt is not on this computer: save it first, or "
                           "copy the picture itself (Copy Image) and paste it.")
                .arg(elided(remote.toDisplayString())));
        return true;
    }
    // Looked at on a thread of their own: a file on a share that went away would hold the
    // window for as long as the share does not answer.
    struct Kinds {
        QStringList regular;
        QStringList irregular;
    };
    const std::optional<Kinds> kinds = local.isEmpty() ? Kinds{} : answerWithin<Kinds>(fileCheckTimeout, [local] {
        Kinds found;
        for (const QString& path : local) {
            if (isRegularFile(path)) {
                found.regular.append(path);
            } else if (exists(path)) {
                found.irregular.append(path);
            }
        }
        return found;
    });
    if (!kinds) {
        if (!d->refusedForPackage(QStringLiteral("Paste or drop"))) {
            d->refuse(local.front(), QStringLiteral("Its drive or share does not answer."));
        }
        return true;
    }
    const QStringList& paths = kinds->regular;
    const QStringList& irregular = kinds->irregular;
    if (bytes.isEmpty() && decoded.isNull() && paths.isEmpty() && irregular.isEmpty()) {
        return false;
    }
    if (d->refusedForPackage(QStringLiteral("Paste or drop"))) {
        return true;
    }
    d->tellNoPicture = false;
    d->filesGiven = bytes.isEmpty() && decoded.isNull() ? int(paths.size()) : 1;
    if (!bytes.isEmpty()) {
        d->reader.readPictureBytes(pastedSource, bytes);
    } else if (!decoded.isNull()) {
        const QString problem = core::decodedPictureProblem(decoded);
        if (!problem.isEmpty()) {
            d->refuse(pastedSource, problem);
        } else {
            cancel();  // a picture still being read would replace this one
            waitclock::step("picture read");
            emit pictureTaken(decoded);
        }
    } else if (!paths.isEmpty()) {
        d->reader.readPicture(paths.front(), paths, d->contentOpener ? d->contentRecogniser : nullptr);
    } else {
        // A FIFO or a device: opening it could wait for ever, and it holds no picture file.
        d->refuse(irregular.front(), QStringLiteral("not a regular file"));
    }
    return true;
}

void takeAsCopy(QDropEvent* event)
{
    if (event->possibleActions() & Qt::CopyAction) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->acceptProposedAction();
    }
}

bool PictureIntake::isReading() const
{
    return d->reader.isReading();
}

WorkProgress* PictureIntake::progress() const
{
    return d->reader.progress();
}

void PictureIntake::cancel()
{
    d->reader.cancel();
}

} // namespace ui
