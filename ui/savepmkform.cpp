#include "savepmkform.h"

#include "facemaskproject.h"
#include "facialpoints.h"
#include "packageformat.h"
#include "prompts.h"

#include <QBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

namespace ui {

class SavePMKForm::Impl : public QObject
{
public:
    Impl(SavePMKForm* owner, core::FaceMaskProject* project)
        : q(owner)
        , project(project)
    {
    }

    void buildWidgets();
    void showProject();
    int chosenEffectType() const;
    void onSave();

    SavePMKForm* q;
    core::FaceMaskProject* project;
    QRadioButton* faceOnlyButton = nullptr;
    QRadioButton* wholeImageButton = nullptr;
    QRadioButton* fullFrameButton = nullptr;
    QLineEdit* nameEdit = nullptr;
    QPushButton* saveButton = nullptr;
    QPushButton* cancelButton = nullptr;
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
    layout->addLayout(buttonLayout);
    // Installing the layout makes the widgets children of the dialog; sharing that parent makes
    // the radio buttons exclusive without a button group.
    q->setLayout(layout);

    connect(saveButton, &QPushButton::clicked, this, &Impl::onSave);
    connect(cancelButton, &QPushButton::clicked, this, [this] { q->close(); });
}

void SavePMKForm::Impl::showProject()
{
    nameEdit->setText(project->name());
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
        Prompts::current().warning(
            QStringLiteral("Saving error"),
            QStringLiteral("The project has %1 points; a package needs %2. Open or paste a "
                           "picture to detect them, or open a complete PMK file.")
                .arg(pointCount)
                .arg(core::package::minimumPivotCount));
        return;
    }
    const QString path = Prompts::current().saveFileName(
        QStringLiteral("Save PMK file"), QStringLiteral("PMK file (*.pmk);; All files (*.*)"));
    if (path.isEmpty()) {
        return;
    }
    project->setEffectType(chosenEffectType());
    project->setName(nameEdit->text());
    if (project->save(path)) {
        q->close();
        return;
    }
    Prompts::current().warning(QStringLiteral("Saving error"),
                               QStringLiteral("PMK file was not save."));
}

SavePMKForm::SavePMKForm(core::FaceMaskProject* project)
    : d(std::make_unique<Impl>(this, project))
{
    setModal(true);
    d->buildWidgets();
    d->showProject();
}

SavePMKForm::~SavePMKForm() = default;

} // namespace ui
