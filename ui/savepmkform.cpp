#include "ui/savepmkform.h"

#include "core/facemaskproject.h"
#include "core/facialpoints.h"
#include "core/packageformat.h"
#include "ui/prompts.h"
#include "ui/workprogress.h"

#include <QBoxLayout>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QKeyEvent>
#include <QtConcurrent>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>

#include <limits>
#include <utility>

namespace ui {

class SavePMKForm::Impl : public QObject
{
public:
    Impl(SavePMKForm* owner, core::FaceMaskProject* project, PromptSession* given)
        : q(owner)
        , project(project)
        , ownSession(given ? nullptr : std::make_unique<PromptSession>())
        , session(given ? *given : *ownSession)
    {
    }
    Prompts& prompts() const { return session.prompts(); }

    void buildWidgets();
    void showProject();
    int chosenEffectType() const;
    void onSave();
    void startSaving(const QString& path);
    void onSavingFinished();
    void setSaving(bool saving);
    // A cancelled save whose work has not started (every worker busy, say) is given up at once,
    // so the form does not wait for workers that may never come free; the work, when it runs,
    // finds the cancel and writes nothing.
    void giveUpIfNotStarted();
    bool eventFilter(QObject* watched, QEvent* event) override;

    SavePMKForm* q;
    core::FaceMaskProject* project;
    std::unique_ptr<PromptSession> ownSession;
    // The window's, or ownSession.
    PromptSession& session;
    PackageWriter writer;
    QFutureWatcher<bool> saving;
    std::shared_ptr<std::atomic_bool> savingStarted; // set by the running save's work
    std::unique_ptr<WorkProgress> progress;
    QElapsedTimer clock;
    QString savingPath;
    // Why the running save failed, as the package writer tells it; empty for a writer given
    // by the caller.
    std::shared_ptr<QString> failure;
    QString resultMessage;
    QRadioButton* faceOnlyButton = nullptr;
    QRadioButton* wholeImageButton = nullptr;
    QRadioButton* fullFrameButton = nullptr;
    QLineEdit* nameEdit = nullptr;
    QLineEdit* authorEdit = nullptr;
    QPushButton* saveButton = nullptr;
    QPushButton* cancelButton = nullptr;
    // The input that had the keys when the running save started; they go back to it after.
    QPointer<QWidget> focusBeforeSaving;
    QString folder;
    QString proposedFile;
    QString savedPath;
};

void SavePMKForm::Impl::buildWidgets()
{
    faceOnlyButton = new QRadioButton(QStringLiteral("Face only"));
    faceOnlyButton->setObjectName(QStringLiteral("faceOnlyButton"));
    wholeImageButton = new QRadioButton(QStringLiteral("Whole image"));
    wholeImageButton->setObjectName(QStringLiteral("wholeImageButton"));
    fullFrameButton = new QRadioButton(QStringLiteral("Full frame effect"));
    fullFrameButton->setObjectName(QStringLiteral("fullFrameButton"));

    nameEdit = new QLineEdit;
    nameEdit->setObjectName(QStringLiteral("nameEdit"));
    nameEdit->setPlaceholderText(QStringLiteral("Type effect name"));
    // QLineEdit cuts a longer text silently (32767 by default); the length is checked on Save.
    nameEdit->setMaxLength(std::numeric_limits<int>::max());
    authorEdit = new QLineEdit;
    authorEdit->setObjectName(QStringLiteral("authorEdit"));
    authorEdit->setPlaceholderText(QStringLiteral("Author"));
    authorEdit->setMaxLength(std::numeric_limits<int>::max());
    // The placeholders go once a text is typed: the fields are named for screen readers.
    nameEdit->setAccessibleName(QStringLiteral("Effect name"));
    authorEdit->setAccessibleName(QStringLiteral("Author"));

    saveButton = new QPushButton(QStringLiteral("Save"));
    saveButton->setObjectName(QStringLiteral("saveButton"));
    cancelButton = new QPushButton(QStringLiteral("Cancel"));
    cancelButton->setObjectName(QStringLiteral("cancelButton"));

    auto* typeLayout = new QVBoxLayout;
    typeLayout->setContentsMargins(0, 0, 0, 4);
    typeLayout->setSpacing(2);
    typeLayout->addWidget(faceOnlyButton);
    typeLayout->addWidget(wholeImageButton);
    typeLayout->addWidget(fullFrameButton);

    auto* buttonLayout = new QHBoxLayout;
    buttonLayout->setContentsMargins(0, 0, 0, 0);
    buttonLayout->addWidget(saveButton);
    buttonLayout->addWidget(cancelButton);

    auto* layout = new QVBoxLayout;
    layout->addLayout(typeLayout);
    layout->addWidget(nameEdit);
    layout->addWidget(authorEdit);
    layout->addLayout(buttonLayout);
    // Installing the layout makes the widgets children of the dialog; sharing that parent makes
    // the radio buttons exclusive without a button group.
    q->setLayout(layout);

    connect(saveButton, &QPushButton::clicked, this, &Impl::onSave);
    connect(cancelButton, &QPushButton::clicked, this, [this] { q->close(); });
    cancelButton->installEventFilter(this);
}

// While a save runs the keys pass to Cancel, the other inputs being greyed out: Enter pressed
// again for Save (twice, or held) must not stop it. Escape and a click on Cancel still do.
bool SavePMKForm::Impl::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == cancelButton && progress && event->type() == QEvent::KeyPress) {
        const int key = static_cast<const QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

void SavePMKForm::Impl::showProject()
{
    nameEdit->setText(project->name());
    authorEdit->setText(project->author());
    switch (project->effectType()) {
    case core::WholeImage:
        wholeImageButton->setChecked(true);
        break;
    case core::FullFrame:
        fullFrameButton->setChecked(true);
        break;
    default:
        faceOnlyButton->setChecked(true);
        break;
    }
}

int SavePMKForm::Impl::chosenEffectType() const
{
    if (fullFrameButton->isChecked()) {
        return core::FullFrame;
    }
    if (wholeImageButton->isChecked()) {
        return core::WholeImage;
    }
    return core::FaceOnly;
}

void SavePMKForm::Impl::onSave()
{
    // The program could not open such a package again; nothing is asked or written.
    const int pointCount = project->facialPoints()->count();
    if (pointCount < core::package::minimumPivotCount) {
        const QString advice = project->facialPoints()->image().isNull()
            ? QStringLiteral("Open or paste a picture to detect them, or open a complete PMK file.")
            : QStringLiteral("Press Ctrl+D to detect them, or Ctrl+T for a template to fit.");
        prompts().warning(
            QStringLiteral("Saving error"),
            QStringLiteral("The project has %1 points; a package needs %2. %3")
                .arg(pointCount)
                .arg(core::package::minimumPivotCount)
                .arg(advice));
        return;
    }
    for (const auto& [edit, what] : {std::pair<QLineEdit*, const char*>{nameEdit, "name"},
                                     std::pair<QLineEdit*, const char*>{authorEdit, "author"}}) {
        if (edit->text().size() > maximumTextLength) {
            prompts().warning(
                QStringLiteral("Saving error"),
                QStringLiteral("The %1 has %2 characters; a package takes at most %3. Shorten it "
                               "and save again.")
                    .arg(QLatin1String(what))
                    .arg(edit->text().size())
                    .arg(maximumTextLength));
            edit->setFocus();
            return;
        }
    }
    const QString suffix = QStringLiteral("pmk");
    const QString chosen = prompts().saveFileName(
        QStringLiteral("Save PMK file"), QStringLiteral("PMK file (*.pmk);; All files (*.*)"),
        proposedFile.isEmpty() ? folder : proposedFile, suffix);
    if (chosen.isEmpty()) {
        return;
    }
    // A package without its suffix would be hidden by the filter of "Open PMK file".
    const QString path = withDefaultSuffix(chosen, suffix);
    project->setEffectType(chosenEffectType());
    project->setName(nameEdit->text());
    project->setAuthor(authorEdit->text());
    startSaving(path);
}

namespace {

QString sizeText(qint64 bytes)
{
    if (bytes >= 1'000'000) {
        return QString::number(double(bytes) / 1e6, 'f', 1) + QStringLiteral(" MB");
    }
    return QString::number(std::max<qint64>(1, (bytes + 500) / 1000)) + QStringLiteral(" KB");
}

} // namespace

void SavePMKForm::Impl::startSaving(const QString& path)
{
    setSaving(true);
    savingPath = path;
    progress = std::make_unique<WorkProgress>(
        QStringLiteral("Saving %1\u2026").arg(QFileInfo(path).fileName()), q);
    clock.start();
    // Copies only: the worker must not touch the project, which the user may go on editing.
    const core::ProjectSnapshot snapshot = project->snapshot();
    failure = std::make_shared<QString>();
    const PackageWriter write = writer ? writer : PackageWriter([failure = failure](
        const core::ProjectSnapshot& snapshot, const QString& path,
        const std::function<void(int)>& progress, const std::atomic_bool* cancel) {
        const core::SaveResult saved = core::writePackage(snapshot, path, progress, cancel);
        *failure = saved.reason;
        return saved.ok;
    });
    const core::Progress report = progress->reporter();
    const std::shared_ptr<const std::atomic_bool> cancel = progress->cancelFlag();
    const auto started = std::make_shared<std::atomic_bool>(false);
    savingStarted = started;
    QObject::connect(progress.get(), &WorkProgress::cancelled, q, [this] { giveUpIfNotStarted(); });
    saving.setFuture(QtConcurrent::run([=] {
        started->store(true);
        return write(snapshot, path, report, cancel.get());
    }));
}

void SavePMKForm::Impl::giveUpIfNotStarted()
{
    if (!progress || !savingStarted || savingStarted->load()) {
        return;
    }
    progress.release()->deleteLater(); // this may run inside its own Cancel button
    savingStarted.reset();
    setSaving(false);
}

void SavePMKForm::Impl::onSavingFinished()
{
    if (!progress) {
        return; // a save given up before it started
    }
    const bool saved = saving.result();
    const bool cancelled = progress->isCancelled();
    const double seconds = double(clock.elapsed()) / 1000.0;
    if (saved) {
        resultMessage = QStringLiteral("Saved %1 (%2) in %3 s")
                            .arg(QFileInfo(savingPath).fileName(),
                                 sizeText(QFileInfo(savingPath).size()),
                                 QString::number(seconds, 'f', 1));
        savedPath = savingPath;
        // Before the progress window, which may have the keys: gone last, it lets the window
        // manager hand them to the window beneath the form, not to the form on its way out.
        q->accept();
    }
    progress.reset();
    setSaving(false);
    if (saved) {
        return;
    }
    if (!cancelled) {
        const QString reason = failure ? *failure : QString();
        prompts().warning(QStringLiteral("Saving error"),
                          reason.isEmpty() ? QStringLiteral("PMK file was not save.")
                                           : QStringLiteral("PMK file was not save.\n\nReason: %1.")
                                                 .arg(reason));
    }
}

void SavePMKForm::Impl::setSaving(bool busy)
{
    // An input greyed out with the keys hands them on, to Cancel in the end, which then takes
    // Enter: once the form takes input again, they go back where they were.
    if (busy) {
        focusBeforeSaving = q->focusWidget();
    }
    for (QWidget* input : std::initializer_list<QWidget*>{faceOnlyButton, wholeImageButton,
                                                          fullFrameButton, nameEdit, authorEdit,
                                                          saveButton}) {
        input->setEnabled(!busy);
    }
    if (!busy && focusBeforeSaving) {
        focusBeforeSaving->setFocus(Qt::OtherFocusReason);
        focusBeforeSaving = nullptr;
    }
}

SavePMKForm::SavePMKForm(core::FaceMaskProject* project, PackageWriter writer,
                         PromptSession* session, QWidget* parent)
    : QDialog(parent)
    , d(std::make_unique<Impl>(this, project, session))
{
    d->writer = std::move(writer);
    setModal(true);
    // No title of its own (the title bar names the program), but a name a screen reader can say.
    setAccessibleName(QStringLiteral("Save PMK File"));
    d->buildWidgets();
    d->showProject();
    connect(&d->saving, &QFutureWatcher<bool>::finished, d.get(), &Impl::onSavingFinished);
}

SavePMKForm::~SavePMKForm() = default;

void SavePMKForm::setFolder(const QString& folder)
{
    d->folder = folder;
}

void SavePMKForm::setProposedFile(const QString& path)
{
    d->proposedFile = path;
}

QString SavePMKForm::savedPath() const
{
    return d->savedPath;
}

QString SavePMKForm::resultMessage() const
{
    return d->resultMessage;
}

bool SavePMKForm::isSaving() const
{
    return d->progress != nullptr;
}

void SavePMKForm::reject()
{
    if (d->progress) {
        d->progress->cancel(); // gives the save up at once if its work has not started
        return;
    }
    QDialog::reject();
}

} // namespace ui
