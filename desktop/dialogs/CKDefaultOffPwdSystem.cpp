#include "desktop/dialogs/CKDefaultOffPwdSystem.h"

#include <QFileInfo>
#include <QTimer>

#include "desktop/FileDialog.h"
#include "desktop/InputRules.h"
#include "desktop/MessageBox.h"
#include "desktop/PathFieldTip.h"
#include "desktop/ScreenFit.h"
#include "desktop/SendHost.h"
#include "desktop/StrengthMeter.h"
#include "desktop/dialogs/DialogSkin.h"
#include "engine/Kist.h"
#include "ui_CKDefaultOffPwdSystem.h"

namespace {

const QString suggestedName = QStringLiteral("MyFiles.kzip");
constexpr int hideDelayMs = 1000;

QString desktopFolder()
{
    try {
        return QString::fromStdString(Kist::getFolder(DesktopDir));
    } catch (const ExceptionModule&) {
        return {};
    }
}

} // namespace

CKDefaultOffPwdSystem::CKDefaultOffPwdSystem(SendHost* host, QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::CKDefaultOffPwdSystem>()), host(host), hideLater(new QTimer(this))
{
    ui->setupUi(this);
    ScreenFit::install();
    keepRoomForTitle(*ui->groupBox);
    hideLater->setSingleShot(true);
    hideLater->setInterval(hideDelayMs);
    connect(hideLater, &QTimer::timeout, this, &QWidget::hide);
    connect(ui->selectExtractionFolder, &QToolButton::clicked, this,
            &CKDefaultOffPwdSystem::selectExtractionFolderClicked);
    // Cancel only closes: nothing is saved and the rows keep their texts.
    connect(ui->cancelButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->okButton, &QPushButton::clicked, this, &CKDefaultOffPwdSystem::okButtonclicked);
    ui->strengthMeter->watch(ui->enterPwd);
    PathFieldTip::attach(ui->zipFileName);
    ui->zipFileName->setFocus();
}

CKDefaultOffPwdSystem::~CKDefaultOffPwdSystem() = default;

void CKDefaultOffPwdSystem::setLocation(const QString& path)
{
    ui->zipFileName->setText(QFileInfo(path).absoluteFilePath());
    confirmedPath.clear();
    // Each package starts in the standard form, which every reader opens.
    ui->hardenedPackage->setChecked(false);
    // Every opening starts at the first row, as the first one did.
    ui->zipFileName->setFocus();
}

void CKDefaultOffPwdSystem::selectExtractionFolderClicked()
{
    const QString desktop = desktopFolder();
    const QString chosen = FileDialog::getSaveFileName(
        this, QStringLiteral("Select the name and location of KORVELIN file"),
        desktop.isEmpty() ? suggestedName : desktop + QLatin1Char('/') + suggestedName,
        QStringLiteral("KORVELIN Files (*.kzip)"));
    if (chosen.isEmpty())
        return;
    ui->zipFileName->setText(chosen);
    // The save chooser has asked about replacing it already.
    confirmedPath = chosen;
}

void CKDefaultOffPwdSystem::okButtonclicked()
{
    const QString location = ui->zipFileName->text();
    const QString password = ui->enterPwd->text();
    if (location.isEmpty() || password.isEmpty() || ui->reEnterPwd->text().isEmpty()) {
        MessageBox::information(this, QStringLiteral("Enter all Information, please."),
                                QStringLiteral("You must enter all the three values."));
        return;
    }
    if (password != ui->reEnterPwd->text()) {
        MessageBox::information(this, QStringLiteral("Invalid Password!"),
                                QStringLiteral("Password and re-entered password do not match. Try again."));
        return;
    }
    if (!StrengthMeter::confirmUse(this, password))
        return;

    const InputRules::Location split = InputRules::splitLocation(location);
    // A location that ends in '/' names no file: the suggested name is used.
    const QString fileName = InputRules::withPackageExtension(split.fileName.isEmpty() ? QStringLiteral("MyFiles")
                                                                                       : split.fileName);
    QString folder = split.folder;
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
        folder = FileDialog::getExistingDirectory(this, QStringLiteral("Save my KORVELIN File in..."), desktopFolder(),
                                                  QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
        if (folder.isEmpty()) {
            MessageBox::information(
                this, QStringLiteral("Invalid Location"),
                QStringLiteral("Location provided to save KORVELIN file is invalid. Saving file to your Desktop"));
            folder = desktopFolder();
        }
    }

    const QString path = folder.endsWith(QLatin1Char('/')) ? folder + fileName : folder + QLatin1Char('/') + fileName;
    if (QFileInfo::exists(path) && path != confirmedPath) {
        const auto answer = MessageBox::question(
            this, QStringLiteral("Replace KORVELIN file?"),
            QStringLiteral("%1 already exists.\nDo you want to replace it?").arg(path),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes)
            return;
    }

    const PackageForm form = ui->hardenedPackage->isChecked() ? PackageForm::Hardened : PackageForm::Standard;
    hideLater->start();
    ui->enterPwd->clear();
    ui->reEnterPwd->clear();
    ui->hardenedPackage->setChecked(false);
    confirmedPath.clear();
    if (host)
        host->saveToFolder(folder, fileName, password, form);
    accept();
}

void CKDefaultOffPwdSystem::showEvent(QShowEvent* event)
{
    hideLater->stop();
    QDialog::showEvent(event);
}
