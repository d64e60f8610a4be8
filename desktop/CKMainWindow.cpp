#include "desktop/CKMainWindow.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCursor>
#include <QDialog>
#include <QLineEdit>
#include <QDragEnterEvent>
#include <QEasingCurve>
#include <QMenu>
#include <QMimeData>
#include <QPointer>
#include <QPropertyAnimation>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <QWindow>

#include "desktop/AutoLock.h"
#include "desktop/CKDropBox.h"
#include "desktop/EngineCall.h"
#include "desktop/EngineText.h"
#include "desktop/ExternalLink.h"
#include "desktop/MessageBox.h"
#include "desktop/ScreenFit.h"
#include "desktop/StatusProgress.h"
#include "desktop/VaultSender.h"
#include "desktop/VaultWatch.h"
#include "desktop/WebAddresses.h"
#include "desktop/WindowActions.h"
#include "desktop/WindowLook.h"
#include "desktop/WindowTexts.h"
#include "desktop/dialogs/CKBackupRestore.h"
#include "desktop/dialogs/CKDefaultOffPwdSystem.h"
#include "desktop/dialogs/CKDefaultSettings.h"
#include "desktop/dialogs/CKDefaultsOffPwd.h"
#include "engine/Kist.h"
#include "ui_CKMainWindow.h"

namespace {

const QPoint kVaultViewPosition(150, 46);
// The progress strip sits just above the status line, below "Take Out".
const QRect kProgressStripGeometry(30, 298, 371, 20);
constexpr int kShelfSlideMs = 600;
constexpr int kCoverSlideMs = 1500;
// How often a close that waits for an operation looks whether it has stopped.
constexpr int kQuitPollMs = 50;

const QString kWrongPasswordTitle = QStringLiteral("Wrong Password");
const QString kWrongPasswordText = QStringLiteral("Enter the correct password to unlock the Vault.");
const QString kLockedTitle = QStringLiteral("Vault Locked");
const QString kLockedText = QStringLiteral("Unlock the Vault first: type the Vault password and press Enter.");

std::optional<bool>& trayOverride()
{
    static std::optional<bool> available;
    return available;
}

bool trayAvailable()
{
    if (trayOverride())
        return *trayOverride();
    return QSystemTrayIcon::isSystemTrayAvailable();
}

QString stored(Kist& engine, const char* name)
{
    return QString::fromStdString(engine.retrieveConfig(name));
}

} // namespace

CKMainWindow::CKMainWindow(Kist* kist, WindowMode windowMode, QWidget* parent)
    : QMainWindow(parent)
    , engine(kist)
    , mode(windowMode)
    , ui(std::make_unique<Ui::CKMainWindow>())
    , quitAction([] { QCoreApplication::quit(); })
{
    // 1. Take-out goes to the restored-files folder until the user picks another.
    if (stored(*engine, "RestoreFolder").isEmpty())
        engine->persistConfig("RestoreFolder", Kist::getFolder(RestoredFilesDir));

    // 2. Widgets; the cover and its button lie over the view, so they share its parent.
    ui->setupUi(this);
    ScreenFit::install();
    view = new CKDropBox(this, this, engine, ui->InfoLabel);
    view->move(kVaultViewPosition);
    const QPoint coverAt = ui->lockLabel->pos();
    const QPoint lockButtonAt = ui->lockButton->pos();
    ui->lockLabel->setParent(this);
    ui->lockLabel->move(coverAt);
    ui->lockButton->setParent(this);
    ui->lockButton->move(lockButtonAt);
    setWindowFlags(Qt::CustomizeWindowHint);
    progress = new StatusProgress(ui->centralWidget);
    progress->setGeometry(kProgressStripGeometry);
    sender = new VaultSender(*view, *engine, *this, *this, this);
    view->setOperations(sender);
    windowLook = std::make_unique<WindowLook>(this, ui.get(), engine);

    // 3.
    connect(ui->SystemButton, &QPushButton::clicked, this, &CKMainWindow::btnExport_Click);
    connect(ui->dropBoxButton, &QPushButton::clicked, this, &CKMainWindow::btnCloud_Click);
    connect(ui->emailButton, &QPushButton::clicked, this, &CKMainWindow::btnEmail_Click);
    connect(ui->DefaultButton, &QPushButton::clicked, this, &CKMainWindow::btnDefaults_Click);
    connect(ui->closeButton, &QPushButton::clicked, this, &CKMainWindow::exit_Clicked);
    connect(ui->settingsButton, &QPushButton::clicked, this, &CKMainWindow::options_Clicked);
    connect(ui->extractButton, &QPushButton::clicked, this, &CKMainWindow::btnRestoreAllFilesTo_Clicked);
    connect(ui->lockButton, &QPushButton::clicked, this, &CKMainWindow::btnLock_Clicked);
    connect(ui->minButton, &QPushButton::clicked, this, &CKMainWindow::minimized_Clicked);
    connect(ui->restoreButton, &QPushButton::clicked, this, &CKMainWindow::restore_Clicked);
    connect(ui->password, &QLineEdit::returnPressed, this, &CKMainWindow::passwordReturn_Pressed);
    connect(ui->writerButton, &QPushButton::clicked, this, &CKMainWindow::writer_Clicked);
    connect(ui->selectAllcheckBox, &QCheckBox::clicked, this, &CKMainWindow::selectAll_Clicked);
    setAcceptDrops(true);
    // Closing stays possible while an operation runs: its guard asks the operation to stop.
    EngineCall::allowInputDuringCalls(ui->closeButton);

    // 4.
    shelfOpen = ui->writerButtons->pos();
    shelfClosed = QPoint(shelfOpen.x(), -ui->writerButtons->height());
    shelfSlide = new QPropertyAnimation(ui->writerButtons, "pos", this);
    shelfSlide->setDuration(kShelfSlideMs);
    buildMenu();
    windowActions = new WindowActions(*this, *menu);

    // 5.
    setWindowTitle(WindowTexts::windowTitle(mode));
    ui->menuBar->setText(WindowTexts::titleBarText(mode));
    createDialogs();
    ui->menuBar->installEventFilter(this);

    // 6.
    applyModeVisibility();

    // 7.
    applyStoredDefaultsSwitch();

    // 8. and 9.
    skin = windowLook->applyStoredLook();
    (skin == SkinKind::Pink ? pinkAction : skin == SkinKind::Blue ? blueAction : blackAction)->setChecked(true);
    windowActions->orderTabs();

    // 10. The password row lives on the cover, so it slides away with it.
    ui->password->setParent(ui->lockLabel);
    ui->pwdLabel->setParent(ui->lockLabel);
    coverClosed = ui->lockLabel->geometry();
    coverOpen = QRect(coverClosed.width(), coverClosed.y(), coverClosed.width(), coverClosed.height());
    coverSlide = new QPropertyAnimation(ui->lockLabel, "geometry", this);
    coverSlide->setDuration(kCoverSlideMs);
    coverSlide->setEasingCurve(QEasingCurve::OutBounce);
    ui->lockLabel->raise();
    ui->lockButton->raise();

    // 11.
    if (mode == VaultMode)
        createTrayIcon();

    // Other programs add to and take from the same vault: the unlocked view follows them.
    if (mode == VaultMode)
        vaultWatch = new VaultWatch(this, *engine, *view, *this, [this] { return isUnlocked(); });

    windowLook->fitTexts();
    windowActions->nameWidgets();
    windowActions->updateState();
    if (mode == OpenFileMode)
        ui->InfoLabel->setText(QStringLiteral("Extract these files with the folder button."));
}

CKMainWindow::~CKMainWindow()
{
    wipeKeptPassword();
}

void CKMainWindow::buildMenu()
{
    menu = new QMenu(ui->settingsButton);
    menu->setObjectName(QStringLiteral("optionsMenu"));
    const auto newAction = [this](const QString& text, void (CKMainWindow::*slot)()) {
        auto* action = new QAction(text, menu);
        connect(action, &QAction::triggered, this, slot);
        return action;
    };
    settingsAction = newAction(QStringLiteral("Default Settings"), &CKMainWindow::SettingsMenuSelected);
    changePasswordAction = newAction(QStringLiteral("Change Vault Password"), &CKMainWindow::changeVaultPwdMenuSelected);
    feedbackAction = newAction(QStringLiteral("Feedback"), &CKMainWindow::FeedbackMenuSelected);
    aboutAction = newAction(QStringLiteral("About"), &CKMainWindow::AboutMenuSelected);
    backupAction = newAction(QStringLiteral("Backup Vault"), &CKMainWindow::BackupMenuSelected);
    restoreAction = newAction(QStringLiteral("Restore Vault"), &CKMainWindow::RestoreMenuSelected);
    menu->addAction(settingsAction);
    menu->addAction(changePasswordAction);
    menu->addAction(feedbackAction);
    menu->addAction(aboutAction);

    // Built now, shown only in the vault (setVaultMode).
    skinMenu = new QMenu(QStringLiteral("Select Skin"), menu);
    skinGroup = new QActionGroup(skinMenu);
    skinGroup->setExclusive(true);
    blackAction = newAction(QStringLiteral("Black"), &CKMainWindow::BlackSkinSelected);
    blueAction = newAction(QStringLiteral("Blue"), &CKMainWindow::BlueSkinSelected);
    pinkAction = newAction(QStringLiteral("Pink"), &CKMainWindow::PinkSkinSelected);
    for (QAction* action : {blackAction, blueAction, pinkAction}) {
        action->setCheckable(true);
        skinGroup->addAction(action);
        skinMenu->addAction(action);
    }
}

void CKMainWindow::createDialogs()
{
    pwdDialog = new CKDefaultsOffPwd(this, engine, this);
    backupDialog = new CKBackupRestore(this, *engine, *view, *this, *this);
    systemDialog = new CKDefaultOffPwdSystem(this, this);
    settingsDialog = new CKDefaultSettings(this, engine, this);
    settingsDialog->setChecksWithUserVault(mode == FileCreatorMode);
    for (QDialog* dialog : {static_cast<QDialog*>(pwdDialog), static_cast<QDialog*>(backupDialog),
                            static_cast<QDialog*>(systemDialog), static_cast<QDialog*>(settingsDialog)})
        dialog->hide();
    // The skins reach the dialogs that take the window's background.
    windowLook->addDialog(settingsDialog);
    windowLook->addDialog(pwdDialog);
    windowLook->addDialog(systemDialog);
}

void CKMainWindow::applyModeVisibility()
{
    if (mode == OpenFileMode) {
        for (QWidget* widget : {static_cast<QWidget*>(ui->SystemButton), static_cast<QWidget*>(ui->dropBoxButton),
                                static_cast<QWidget*>(ui->emailButton), static_cast<QWidget*>(ui->DefaultButton),
                                static_cast<QWidget*>(ui->restoreButton),
                                static_cast<QWidget*>(ui->selectAllcheckBox),
                                static_cast<QWidget*>(ui->writerButton)})
            widget->hide();
        menu->removeAction(settingsAction);
        // The empty shelf stays where it was built, over the extract button:
        // the button lies above it, so the mouse reaches it.
        ui->extractButton->raise();
        return;
    }
    ui->extractButton->hide();
    if (mode == FileCreatorMode) {
        ui->writerButton->setChecked(true);
        ui->writerButton->hide();
        ui->selectAllcheckBox->hide();
        ui->restoreButton->hide();
    } else {
        applyLockState();
    }
    // The shelf takes the place its toggle asks for.
    writer_Clicked();
}

void CKMainWindow::applyStoredDefaultsSwitch()
{
    const QString on = sender->getDefaultConfig(QStringLiteral("DefaultsOn"));
    if (on == QLatin1String("true")) {
        ui->DefaultButton->setChecked(true);
        showDefaultsState(true);
    } else if (on == QLatin1String("false")) {
        ui->DefaultButton->setChecked(false);
        showDefaultsState(false);
    }
}

void CKMainWindow::createTrayIcon()
{
    // Without a tray a hidden window could not be reached again: such a
    // desktop gets no icon, and minimising minimises.
    if (!trayAvailable())
        return;
    tray = new QSystemTrayIcon(QIcon(QStringLiteral(":/images/32x32.png")), this);
    tray->setToolTip(QStringLiteral("KORVELIN Safehold"));
    connect(tray, &QSystemTrayIcon::activated, this, [this] { showWindow(); });
    tray->show();
}

void CKMainWindow::overrideTrayAvailable(std::optional<bool> available)
{
    trayOverride() = available;
}

void CKMainWindow::setQuitAction(std::function<void()> action)
{
    quitAction = std::move(action);
}

void CKMainWindow::setVaultMode(bool on)
{
    ui->lockButton->setVisible(on);
    ui->lockLabel->setVisible(on);
    lockGuards = on && mode == VaultMode;
    if (lockGuards && !autoLock) {
        autoLock = new AutoLock(this);
        connect(autoLock, &AutoLock::lockRequested, this, &CKMainWindow::lockVault);
        connect(settingsDialog, &QDialog::accepted, this, &CKMainWindow::applyAutoLockSetting);
        applyAutoLockSetting();
        ui->password->setFocus(Qt::OtherFocusReason);
    }
    if (on) {
        menu->insertMenu(feedbackAction, skinMenu);
        menu->removeAction(changePasswordAction);
        menu->insertAction(settingsAction, changePasswordAction);
        return;
    }
    menu->removeAction(changePasswordAction);
    if (mode == VaultMode) {
        // Nothing guards this window: it must not stay behind a hidden cover.
        ui->lockButton->setChecked(true);
        applyLockState();
    }
    guarded([this] {
        view->refresh();
        updateSelectionState();
    });
}

bool CKMainWindow::sendSelected(int target)
{
    if (refusedWhileLocked())
        return false;
    bool openedDialog = false;
    guarded([&] { openedDialog = sender->sendSelected(target); });
    return openedDialog;
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
    if (!hasEntries) {
        ui->selectAllcheckBox->hide();
        ui->restoreButton->hide();
    } else if (mode == VaultMode) {
        ui->selectAllcheckBox->show();
        ui->restoreButton->show();
    }
}

ProgressDisplay* CKMainWindow::progressDisplay()
{
    return sendProgress ? sendProgress : progress;
}

bool CKMainWindow::vaultLocked() const
{
    return lockGuards && !isUnlocked();
}

bool CKMainWindow::refusedWhileLocked()
{
    if (!vaultLocked())
        return false;
    MessageBox::information(this, kLockedTitle, kLockedText);
    return true;
}

void CKMainWindow::saveToFolder(const QString& folder, const QString& packageName, const QString& password,
                                PackageForm form)
{
    if (refusedWhileLocked())
        return;
    guarded([&] { sender->exportSelected(folder, packageName, password, SendTarget::Folder, form); });
}

void CKMainWindow::sendToDropbox(const QString& folder, const QString& packageName, const QString& password,
                                 PackageForm form)
{
    if (refusedWhileLocked())
        return;
    guarded([&] { sender->exportSelected(folder, packageName, password, SendTarget::Dropbox, form); });
}

void CKMainWindow::sendByEmail(const QString& packageName, const QString& password, PackageForm form)
{
    if (refusedWhileLocked())
        return;
    guarded([&] { sender->emailSelected(packageName, password, form); });
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
    wipeKeptPassword();
    // A locked window keeps nothing.
    if (vaultLocked())
        return;
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

void CKMainWindow::wipeKeptPassword()
{
    // Overwrites the characters in place before letting them go.
    keptPassword.fill(QChar(u'\0'));
    keptPassword.clear();
}

void CKMainWindow::guarded(const std::function<void()>& body)
{
    try {
        body();
    } catch (const ExceptionModule& error) {
        MessageBox::information(this, QStringLiteral("ERROR!"), EngineText::failureText(error));
    }
}

bool CKMainWindow::isUnlocked() const
{
    return ui->lockButton->isChecked();
}

// ---- lock cover ----

void CKMainWindow::btnLock_Clicked()
{
    coverSlide->stop();
    if (isUnlocked())
        unlock();
    else
        lock();
    applyLockState();
}

void CKMainWindow::passwordReturn_Pressed()
{
    if (isUnlocked())
        return;
    ui->lockButton->setChecked(true);
    btnLock_Clicked();
}

void CKMainWindow::unlock()
{
    const QString typed = ui->password->text();
    if (typed.isEmpty()) {
        ui->lockButton->setChecked(false);
        MessageBox::information(this, kWrongPasswordTitle, kWrongPasswordText);
        return;
    }
    bool accepted = false;
    try {
        // The password check runs beside the event loop, so the window keeps painting.
        EngineCall call(*engine, nullptr);
        const std::string narrow = typed.toStdString();
        accepted = call.run([&] { return engine->login(narrow); });
    } catch (const ExceptionModule& error) {
        ui->lockButton->setChecked(false);
        MessageBox::information(this, QStringLiteral("ERROR!"), EngineText::failureText(error));
        return;
    }
    if (!accepted) {
        ui->lockButton->setChecked(false);
        ui->password->clear();
        MessageBox::information(this, kWrongPasswordTitle, kWrongPasswordText);
        return;
    }
    keepVaultPassword(typed);
    // The cover slides from where it is, so a lock interrupted mid-slide does not jump.
    coverSlide->setStartValue(ui->lockLabel->geometry());
    coverSlide->setEndValue(coverOpen);
    coverSlide->start();
    ui->lockButton->setText(QStringLiteral("L\no\nc\nk"));
    ui->lockButton->setToolTip(QStringLiteral("Lock the Vault"));
    ui->password->clear();
    if (autoLock)
        autoLock->setArmed(true);
    // The cover keeps sliding while the listing is read on the worker thread.
    view->refresh();
}

void CKMainWindow::lockVault()
{
    if (!lockGuards || !isUnlocked())
        return;
    ui->lockButton->setChecked(false);
    btnLock_Clicked();
}

void CKMainWindow::closeOpenedDialogs()
{
    // Every dialog and box whose parents lead to this window, the password
    // dialogs and choosers included; none writes what it was asked for.
    QList<QPointer<QDialog>> open;
    for (QWidget* top : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<QDialog*>(top);
        if (!dialog || !dialog->isVisible())
            continue;
        for (QWidget* parent = dialog->parentWidget(); parent; parent = parent->parentWidget())
            if (parent == this) {
                open.append(dialog);
                break;
            }
    }
    // The keyboard was in one of them: it comes back to the password field.
    bool hadKeyboard = false;
    for (const QPointer<QDialog>& dialog : open) {
        if (!dialog)
            continue;
        hadKeyboard = hadKeyboard || dialog->isActiveWindow();
        for (QLineEdit* field : dialog->findChildren<QLineEdit*>())
            if (field->echoMode() != QLineEdit::Normal)
                field->clear();
        dialog->reject();
    }
    // Once the dialogs' own event loops have ended (a modal one blocks the
    // window until then).
    if (hadKeyboard)
        QTimer::singleShot(0, this, [this] {
            if (isVisible() && !isMinimized() && !QApplication::activeModalWidget())
                activateWindow();
        });
    // The window's own dialogs may be hidden by their one-second timer
    // with a password still typed.
    for (QDialog* dialog : {static_cast<QDialog*>(pwdDialog), static_cast<QDialog*>(systemDialog),
                            static_cast<QDialog*>(settingsDialog), static_cast<QDialog*>(backupDialog)})
        for (QLineEdit* field : dialog->findChildren<QLineEdit*>())
            if (field->echoMode() != QLineEdit::Normal)
                field->clear();
}

void CKMainWindow::lock()
{
    if (autoLock)
        autoLock->setArmed(false);
    closeOpenedDialogs();
    wipeKeptPassword();
    // The engine is not thread-safe: a call under way is asked to stop at its
    // next safe point, and the engine logged off as soon as it is free.
    if (EngineCall::isRunning()) {
        EngineCall::stopRunningCall();
        view->setStatus(QStringLiteral("Stopping the operation to lock the Vault..."));
    }
    EngineCall::afterRunningCall([this] {
        if (!isUnlocked())
            engine->logoff();
    });
    ui->password->clear();
    coverSlide->setStartValue(ui->lockLabel->geometry());
    coverSlide->setEndValue(coverClosed);
    coverSlide->start();
    ui->lockButton->setText(QStringLiteral("U\nn\n\nl\no\nc\nk"));
    ui->lockButton->setToolTip(QStringLiteral("Unlock the Vault"));
}

void CKMainWindow::applyLockState()
{
    const bool unlocked = isUnlocked();
    ui->writerButtons->setEnabled(unlocked && ui->writerButton->isChecked());
    ui->selectAllcheckBox->setEnabled(unlocked);
    ui->restoreButton->setEnabled(unlocked);
    if (unlocked) {
        ui->writerButton->show();
        menu->insertAction(feedbackAction, backupAction);
        menu->insertAction(feedbackAction, restoreAction);
    } else {
        ui->writerButton->hide();
        menu->removeAction(backupAction);
        menu->removeAction(restoreAction);
    }
    view->setEnabled(unlocked);
    ui->password->setEnabled(!unlocked);
    // Typing goes to the password field whenever the cover is shown.
    if (!unlocked && lockGuards)
        ui->password->setFocus(Qt::OtherFocusReason);
    updateSelectionState();
    windowActions->nameWidgets();
    windowActions->updateState();
}

void CKMainWindow::applyAutoLockSetting()
{
    if (!autoLock)
        return;
    guarded([this] { autoLock->setIdleMinutes(AutoLock::minutesFromSetting(stored(*engine, AutoLock::settingName))); });
}

// ---- writer shelf and defaults switch ----

void CKMainWindow::writer_Clicked()
{
    shelfSlide->stop();
    shelfSlide->setStartValue(ui->writerButtons->pos());
    if (ui->writerButton->isChecked()) {
        ui->writerButtons->setEnabled(true);
        shelfSlide->setEndValue(shelfOpen);
        shelfSlide->start();
        ui->writerButton->setIcon(QIcon(QStringLiteral(":/images/arrow-up.png")));
        ui->writerButton->setToolTip(QStringLiteral("Hide writer shelf"));
    } else {
        shelfSlide->setEndValue(shelfClosed);
        shelfSlide->start();
        ui->writerButton->setIcon(QIcon(QStringLiteral(":/images/arrow-down.png")));
        ui->writerButton->setToolTip(QStringLiteral("Show writer shelf"));
        ui->writerButtons->setEnabled(false);
    }
    ui->writerButton->setAccessibleName(ui->writerButton->toolTip());
}

void CKMainWindow::showDefaultsState(bool on)
{
    if (on) {
        ui->DefaultButton->setText(QStringLiteral("Defaults\nOn"));
        ui->DefaultButton->setToolTip(QStringLiteral("Use default settings for folders and passwords"));
    } else {
        ui->DefaultButton->setText(QStringLiteral("Defaults\nOff"));
        ui->DefaultButton->setToolTip(QStringLiteral("Do not use default settings for folders and passwords"));
    }
    windowActions->nameWidgets();
}

void CKMainWindow::btnDefaults_Click()
{
    guarded([this] {
        if (ui->DefaultButton->isChecked()) {
            const bool complete =
                !stored(*engine, "DefaultPassword").isEmpty() && !stored(*engine, "RestoreFolder").isEmpty();
            if (!complete) {
                ui->DefaultButton->setChecked(false);
                showDefaultsState(false);
                MessageBox::information(this, QStringLiteral("No Default Settings"),
                                        QStringLiteral("You must first set the defaults under the Default Settings menu!"));
                return;
            }
            engine->persistConfig("DefaultsOn", "true");
        } else {
            engine->persistConfig("DefaultsOn", "false");
        }
        showDefaultsState(ui->DefaultButton->isChecked());
    });
}

// ---- operations ----

void CKMainWindow::btnExport_Click()
{
    sendSelected(0);
}

void CKMainWindow::btnCloud_Click()
{
    sendSelected(1);
}

void CKMainWindow::btnEmail_Click()
{
    sendSelected(2);
}

void CKMainWindow::restore_Clicked()
{
    if (refusedWhileLocked())
        return;
    guarded([this] { sender->restoreSelected(); });
}

void CKMainWindow::btnRestoreAllFilesTo_Clicked()
{
    if (refusedWhileLocked())
        return;
    guarded([this] { sender->restoreAll(); });
}

void CKMainWindow::selectAll_Clicked()
{
    view->setAllTicked(ui->selectAllcheckBox->isChecked());
}

// ---- menu ----

void CKMainWindow::options_Clicked()
{
    // Clicked, the menu opens at the pointer; pressed from the keyboard, the
    // pointer may be anywhere, so it opens under the button.
    const QPoint pointer = QCursor::pos();
    if (ui->settingsButton->rect().contains(ui->settingsButton->mapFromGlobal(pointer)))
        menu->popup(pointer + QPoint(0, ui->settingsButton->width() / 2));
    else
        menu->popup(ui->settingsButton->mapToGlobal(QPoint(0, ui->settingsButton->height())));
}

void CKMainWindow::SettingsMenuSelected()
{
    menu->hide();
    if (refusedWhileLocked())
        return;
    guarded([this] {
        QString dropboxFolder;
        bool dropboxFound = true;
        try {
            dropboxFolder = QString::fromStdString(Kist::getFolder(DropboxDir));
        } catch (const ExceptionModule&) {
            dropboxFound = false;
        }
        const QString storedDropbox = stored(*engine, "DropboxFolder");
        if (!storedDropbox.isEmpty())
            dropboxFolder = storedDropbox;
        settingsDialog->setFolders(dropboxFound || !storedDropbox.isEmpty(), dropboxFolder,
                                   stored(*engine, "RestoreFolder"));
        settingsDialog->showCurrentPassword(mode != OpenFileMode);
        settingsDialog->loadStartSettings();
        settingsDialog->show();
        settingsDialog->raise();
        settingsDialog->activateWindow();
    });
}

void CKMainWindow::changeVaultPwdMenuSelected()
{
    menu->hide();
    if (refusedWhileLocked())
        return;
    pwdDialog->setMode(CKDefaultsOffPwd::ChangeVaultPassword);
    pwdDialog->applySkin();
    pwdDialog->exec();
}

void CKMainWindow::FeedbackMenuSelected()
{
    menu->hide();
    if (!ExternalLink::open(QUrl(QString::fromLatin1(WebAddresses::feedbackForm))))
        view->setStatus(QStringLiteral("Cannot open the feedback form: %1").arg(QLatin1String(WebAddresses::feedbackForm)));
}

void CKMainWindow::AboutMenuSelected()
{
    guarded([this] {
        const QString version = stored(*engine, "Version");
        const QString site = QString::fromLatin1(WebAddresses::makerWebSite);
        const QString text =
            QStringLiteral("<html><head/><body><p style=\"font-size:9pt;\">KORVELIN Safehold<br/>Version %1<br/>"
                           "Copyright &copy; Brannoway. All rights reserved.<br/>"
                           "To get the latest version, visit <a href=\"%2\">%2</a></p></body></html>")
                .arg(version.toHtmlEscaped(), site);
        MessageBox::information(this, QStringLiteral("KORVELIN Safehold"), text);
    });
    menu->hide();
}

void CKMainWindow::BackupMenuSelected()
{
    menu->hide();
    if (refusedWhileLocked())
        return;
    if (view->entryCount() == 0) {
        MessageBox::information(this, QStringLiteral("EMPTY VAULT!"), QStringLiteral("Vault is empty! Nothing to backup."));
        return;
    }
    backupDialog->setMode(CKBackupRestore::Backup);
    backupDialog->exec();
}

void CKMainWindow::RestoreMenuSelected()
{
    menu->hide();
    if (refusedWhileLocked())
        return;
    backupDialog->setMode(CKBackupRestore::Restore);
    backupDialog->exec();
}

void CKMainWindow::selectSkin(SkinKind kind)
{
    guarded([&] {
        windowLook->applySkin(kind);
        skin = kind;
    });
    windowActions->orderTabs();
    (skin == SkinKind::Pink ? pinkAction : skin == SkinKind::Blue ? blueAction : blackAction)->setChecked(true);
}

void CKMainWindow::BlackSkinSelected()
{
    selectSkin(SkinKind::Black);
}

void CKMainWindow::BlueSkinSelected()
{
    selectSkin(SkinKind::Blue);
}

void CKMainWindow::PinkSkinSelected()
{
    selectSkin(SkinKind::Pink);
}

// ---- window ----

void CKMainWindow::minimized_Clicked()
{
    if (mode != VaultMode || !ui->lockButton->isVisible()) {
        showMinimized();
        return;
    }
    if (tray)
        hide();
    else
        showMinimized();
    lockVault();
}

void CKMainWindow::showWindow()
{
    if (isMinimized())
        setWindowState(windowState() & ~Qt::WindowMinimized);
    setWindowFlags(windowFlags() | Qt::WindowStaysOnTopHint);
    show();
    setWindowFlags(windowFlags() & ~Qt::WindowStaysOnTopHint);
    show();
    raise();
    activateWindow();
}

void CKMainWindow::exit_Clicked()
{
    if (quitPending)
        return;
    if (view->busy() || EngineCall::isRunning()) {
        const auto answer = MessageBox::warning(
            this, WindowTexts::windowTitle(mode),
            QStringLiteral("Closing KORVELIN now may result in loss of data.It is recommended that you wait for "
                           "this operation to complete."),
            QMessageBox::Cancel | QMessageBox::Close, QMessageBox::Cancel);
        if (answer != QMessageBox::Close)
            return;
    }
    if (EngineCall::isRunning()) {
        // The worker finishes the step under way; the operation stops at its next safe point.
        EngineCall::stopRunningCall();
        view->setStatus(QStringLiteral("Stopping the operation before closing..."));
        quitWhenIdle();
        return;
    }
    wipeKeptPassword();
    quitAction();
}

void CKMainWindow::quitWhenIdle()
{
    quitPending = true;
    auto* poll = new QTimer(this);
    poll->setInterval(kQuitPollMs);
    connect(poll, &QTimer::timeout, this, [this, poll] {
        if (EngineCall::isRunning() || view->busy())
            return;
        poll->stop();
        poll->deleteLater();
        wipeKeptPassword();
        quitAction();
    });
    poll->start();
}

void CKMainWindow::closeEvent(QCloseEvent* event)
{
    // The window manager's close goes through the same guard as the close button.
    if (event->spontaneous()) {
        event->ignore();
        exit_Clicked();
        return;
    }
    QMainWindow::closeEvent(event);
}

bool CKMainWindow::startMove(const QPoint& globalPress)
{
    // Wayland lets only the compositor move a window.
    if (QWindow* handle = windowHandle(); handle && handle->startSystemMove()) {
        dragging = false;
        return true;
    }
    // Measured from the frame's corner, which is what move() places.
    pressPoint = globalPress - pos();
    return false;
}

bool CKMainWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != ui->menuBar)
        return QMainWindow::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::MouseButtonPress: {
        auto* press = static_cast<QMouseEvent*>(event);
        if (press->button() != Qt::LeftButton)
            return true;
        if (!startMove(press->globalPosition().toPoint()))
            dragging = true;
        return true;
    }
    case QEvent::MouseMove: {
        auto* moveEvent = static_cast<QMouseEvent*>(event);
        if (!dragging)
            return false;
        move(moveEvent->globalPosition().toPoint() - pressPoint);
        return true;
    }
    case QEvent::MouseButtonRelease: {
        auto* release = static_cast<QMouseEvent*>(event);
        if (release->button() != Qt::LeftButton)
            return true;
        dragging = false;
        return false;
    }
    default:
        return false;
    }
}

void CKMainWindow::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        startMove(event->globalPosition().toPoint());
    QMainWindow::mousePressEvent(event);
}

void CKMainWindow::mouseMoveEvent(QMouseEvent* event)
{
    if (event->buttons() == Qt::LeftButton)
        move(event->globalPosition().toPoint() - pressPoint);
    QMainWindow::mouseMoveEvent(event);
}

bool CKMainWindow::dropsGoToView() const
{
    return mode != OpenFileMode && (mode != VaultMode || isUnlocked());
}

void CKMainWindow::dragEnterEvent(QDragEnterEvent* event)
{
    setBackgroundRole(QPalette::Highlight);
    event->acceptProposedAction();
    Q_EMIT changed(event->mimeData());
    // Where the view takes files, a drop that misses it by a little (on the
    // window around it) is meant for it: the view lights up as for its own.
    if (dropsGoToView())
        view->showDropHighlight(true);
}

void CKMainWindow::dragLeaveEvent(QDragLeaveEvent* event)
{
    setBackgroundRole(QPalette::Window);
    event->accept();
    view->showDropHighlight(false);
}

// Outside the vault view a drop is a background picture on the locked vault;
// where the view takes files it goes to the view.
void CKMainWindow::dropEvent(QDropEvent* event)
{
    setBackgroundRole(QPalette::Window);
    event->acceptProposedAction();
    view->showDropHighlight(false);
    if (dropsGoToView())
        view->takeDrop(event->mimeData());
    else if (mode == VaultMode)
        guarded([&] { windowLook->dropPictures(event->mimeData()); });
}
