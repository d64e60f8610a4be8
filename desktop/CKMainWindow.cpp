#include "desktop/CKMainWindow.h"

#include <QDragEnterEvent>
#include <QMimeData>

#include "desktop/CKDropBox.h"
#include "desktop/StatusProgress.h"
#include "desktop/VaultSender.h"
#include "desktop/dialogs/CKDefaultOffPwdSystem.h"
#include "desktop/dialogs/CKDefaultsOffPwd.h"
#include "desktop/WindowLook.h"
#include "desktop/WindowTexts.h"
#include "ui_CKMainWindow.h"

namespace {

const QPoint kVaultViewPosition(150, 46);
// The progress strip sits just above the status line, below "Take Out".
const QRect kProgressStripGeometry(30, 298, 371, 20);

} // namespace

CKMainWindow::CKMainWindow(Kist* kist, WindowMode windowMode, QWidget* parent)
    : QMainWindow(parent)
    , engine(kist)
    , mode(windowMode)
    , ui(std::make_unique<Ui::CKMainWindow>())
{
    ui->setupUi(this);
    view = new CKDropBox(this, this, engine, ui->InfoLabel);
    view->move(kVaultViewPosition);
    // The cover and its button lie over the view, so they share its parent.
    const QPoint coverAt = ui->lockLabel->pos();
    const QPoint lockButtonAt = ui->lockButton->pos();
    ui->lockLabel->setParent(this);
    ui->lockLabel->move(coverAt);
    ui->lockButton->setParent(this);
    ui->lockButton->move(lockButtonAt);
    setWindowFlags(Qt::CustomizeWindowHint);
    setAcceptDrops(true);

    setWindowTitle(WindowTexts::windowTitle(mode));
    ui->menuBar->setText(WindowTexts::titleBarText(mode));
    progress = new StatusProgress(ui->centralWidget);
    progress->setGeometry(kProgressStripGeometry);

    windowLook = std::make_unique<WindowLook>(this, ui.get(), engine);
    skin = windowLook->applyStoredLook();

    ui->lockLabel->raise();
    ui->lockButton->raise();
    if (mode == VaultMode) {
        ui->extractButton->hide();
    } else {
        ui->lockLabel->hide();
        ui->lockButton->hide();
    }
    sender = new VaultSender(*view, *engine, *this, *this, this);
    view->setOperations(sender);
    pwdDialog = new CKDefaultsOffPwd(this, engine, this);
    systemDialog = new CKDefaultOffPwdSystem(this, this);
    updateSelectionState();
}

CKMainWindow::~CKMainWindow() = default;

void CKMainWindow::setVaultMode(bool on)
{
    ui->lockLabel->setVisible(on);
    ui->lockButton->setVisible(on);
    // A package or the composer has nothing to unlock: show it at once.
    if (!on)
        view->refresh();
}

bool CKMainWindow::sendSelected(int target)
{
    return sender->sendSelected(target);
}

void CKMainWindow::showWindow()
{
    setWindowFlags(windowFlags() | Qt::WindowStaysOnTopHint);
    show();
    setWindowFlags(windowFlags() & ~Qt::WindowStaysOnTopHint);
    show();
}

void CKMainWindow::saveToFolder(const QString& folder, const QString& packageName, const QString& password)
{
    sender->exportSelected(folder, packageName, password, SendTarget::Folder);
}

void CKMainWindow::sendToDropbox(const QString& folder, const QString& packageName, const QString& password)
{
    sender->exportSelected(folder, packageName, password, SendTarget::Dropbox);
}

void CKMainWindow::sendByEmail(const QString& packageName, const QString& password)
{
    sender->emailSelected(packageName, password);
}

void CKMainWindow::setStatusLine(const QString& text)
{
    view->setStatus(text);
}

QString CKMainWindow::vaultPassword() const
{
    return keptPassword;
}

void CKMainWindow::keepVaultPassword(const QString& password)
{
    keptPassword = password;
}

CKDefaultsOffPwd* CKMainWindow::passwordDialog()
{
    return pwdDialog;
}

CKDefaultOffPwdSystem* CKMainWindow::saveToComputerDialog()
{
    return systemDialog;
}

QWidget* CKMainWindow::hostWidget()
{
    return this;
}

WindowMode CKMainWindow::windowMode() const
{
    return mode;
}

void CKMainWindow::setSelectAllChecked(bool checked)
{
    ui->selectAllcheckBox->setChecked(checked);
}

void CKMainWindow::updateSelectionState()
{
    const bool hasEntries = view->entryCount() > 0;
    for (QWidget* sendButton : {static_cast<QWidget*>(ui->SystemButton), static_cast<QWidget*>(ui->dropBoxButton),
                                static_cast<QWidget*>(ui->emailButton)})
        sendButton->setEnabled(hasEntries);
    const bool showSelection = hasEntries && mode == VaultMode;
    ui->selectAllcheckBox->setVisible(showSelection);
    ui->restoreButton->setVisible(showSelection);
}

ProgressDisplay* CKMainWindow::progressDisplay()
{
    return progress;
}

void CKMainWindow::BlackSkinSelected()
{
    skin = SkinKind::Black;
    windowLook->applySkin(skin);
}

void CKMainWindow::BlueSkinSelected()
{
    skin = SkinKind::Blue;
    windowLook->applySkin(skin);
}

void CKMainWindow::PinkSkinSelected()
{
    skin = SkinKind::Pink;
    windowLook->applySkin(skin);
}

void CKMainWindow::dragEnterEvent(QDragEnterEvent* event)
{
    setBackgroundRole(QPalette::Highlight);
    event->acceptProposedAction();
    Q_EMIT changed(event->mimeData());
}

void CKMainWindow::dragLeaveEvent(QDragLeaveEvent* event)
{
    setBackgroundRole(QPalette::Window);
    event->accept();
}

// Outside the vault view a drop is a background picture, in the vault only.
void CKMainWindow::dropEvent(QDropEvent* event)
{
    setBackgroundRole(QPalette::Window);
    event->acceptProposedAction();
    if (mode == VaultMode)
        windowLook->dropPictures(event->mimeData());
}
