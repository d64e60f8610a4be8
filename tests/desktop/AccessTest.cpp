// The window and the dialogs as a keyboard user, a screen reader user and a
// user of a large desktop scale or font meet them. The program runs once at
// scale 1 and again (see CMakeLists.txt) at QT_SCALE_FACTOR=2 and at
// QT_FONT_DPI=144 on a 1280x800 screen.
#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QStandardItemModel>
#include <QToolButton>
#include <QTreeView>

#include "desktop/CKDropBox.h"
#include "desktop/CKMainWindow.h"
#include "desktop/ExternalLink.h"
#include "desktop/WindowActions.h"
#include "desktop/dialogs/CKBackupRestore.h"
#include "desktop/dialogs/CKDefaultOffPwdSystem.h"
#include "desktop/dialogs/CKDefaultSettings.h"
#include "desktop/dialogs/CKDefaultsOffPwd.h"
#include "desktop/dialogs/CKEnterEmail.h"
#include "tests/desktop/DesktopTestSupport.h"
#include "ui_CKMainWindow.h"

namespace {

const QString kTyped = QStringLiteral("Typed-Secret-7");

bool isInteractive(QAccessible::Role role)
{
    switch (role) {
    case QAccessible::PushButton:
    case QAccessible::CheckBox:
    case QAccessible::RadioButton:
    case QAccessible::ComboBox:
    case QAccessible::EditableText:
    case QAccessible::Tree:
    case QAccessible::List:
    case QAccessible::Table:
    case QAccessible::ButtonMenu:
    case QAccessible::ButtonDropDown:
        return true;
    default:
        return false;
    }
}

// Walks what a screen reader sees of window: every interactive element it
// can reach is named in unnamed, every password field that is not
// announced as one or gives its text away in leaks.
void walk(QAccessibleInterface* node, const QString& where, QStringList& unnamed, QStringList& leaks, int depth = 0)
{
    if (!node || depth > 12)
        return;
    const QAccessible::State state = node->state();
    if (state.invisible)
        return;
    if (isInteractive(node->role()) && node->text(QAccessible::Name).trimmed().isEmpty()) {
        const QObject* object = node->object();
        unnamed.append(where + "/" + (object ? object->objectName() + "(" + object->metaObject()->className() + ")"
                                             : QString::number(node->role())));
    }
    if (auto* edit = qobject_cast<QLineEdit*>(node->object()); edit && edit->echoMode() == QLineEdit::Password) {
        const QString spoken = node->text(QAccessible::Value);
        QAccessibleTextInterface* text = node->textInterface();
        const QString read = text ? text->text(0, text->characterCount()) : QString();
        if (!state.passwordEdit || spoken.contains(kTyped) || read.contains(kTyped))
            leaks.append(where + "/" + edit->objectName());
    }
    // A tree's rows are its content, not controls of their own.
    if (node->role() == QAccessible::Tree)
        return;
    for (int i = 0; i < node->childCount(); ++i)
        walk(node->child(i), where, unnamed, leaks, depth + 1);
}

void expectEveryControlNamed(QWidget* window, const QString& where)
{
    // Every password field holds text, so a leak would show.
    for (QLineEdit* edit : window->findChildren<QLineEdit*>())
        if (edit->echoMode() == QLineEdit::Password && edit->isVisibleTo(window))
            edit->setText(kTyped);
    QStringList unnamed;
    QStringList leaks;
    walk(QAccessible::queryAccessibleInterface(window), where, unnamed, leaks);
    if (!unnamed.isEmpty())
        qWarning() << "unnamed:" << unnamed;
    QVERIFY2(unnamed.isEmpty(), qPrintable(unnamed.join(", ")));
    QVERIFY2(leaks.isEmpty(), qPrintable(leaks.join(", ")));
}

// Where the window sends a drop at point (window coordinates): the deepest
// widget there that takes drops, as Qt's drop handling picks it.
QWidget* dropTargetAt(QWidget* window, const QPoint& point)
{
    QWidget* widget = window->childAt(point);
    while (widget && widget != window && !widget->acceptDrops())
        widget = widget->parentWidget();
    return widget ? widget : window;
}

void dragOver(QWidget* window, const QPoint& point, QMimeData* data)
{
    QWidget* target = dropTargetAt(window, point);
    QDragEnterEvent enter(target->mapFrom(window, point), Qt::CopyAction | Qt::MoveAction, data, Qt::LeftButton,
                          Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
}

void dropAt(QWidget* window, const QPoint& point, QMimeData* data)
{
    QWidget* target = dropTargetAt(window, point);
    dragOver(window, point, data);
    QDropEvent drop(QPointF(target->mapFrom(window, point)), Qt::CopyAction | Qt::MoveAction, data, Qt::LeftButton,
                    Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
}

// The widget a screen's pixel shows for a widget, as the screen holds it.
QRect onScreen(QWidget* widget)
{
    return QRect(widget->mapToGlobal(QPoint(0, 0)), widget->size());
}

// Nothing of window lies outside the free area of its screen, and no text
// of its labels, buttons and boxes is cut off.
void expectFitsAndNothingClipped(QWidget* window, const QString& where)
{
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    const QRect room = window->screen()->availableGeometry();
    QVERIFY2(room.contains(window->frameGeometry()),
             qPrintable(QStringLiteral("%1 at %2,%3 %4x%5 beyond the screen's %6x%7")
                            .arg(where)
                            .arg(window->frameGeometry().x())
                            .arg(window->frameGeometry().y())
                            .arg(window->frameGeometry().width())
                            .arg(window->frameGeometry().height())
                            .arg(room.width())
                            .arg(room.height())));
    QStringList clipped;
    for (QWidget* widget : window->findChildren<QWidget*>()) {
        if (!widget->isVisibleTo(window) || widget->isWindow())
            continue;
        const auto* label = qobject_cast<QLabel*>(widget);
        const auto* button = qobject_cast<QAbstractButton*>(widget);
        if (!label && !button)
            continue;
        if (label && label->text().isEmpty())
            continue;
        if (button && button->text().isEmpty())
            continue;
        // A label that wraps needs its height for its width; any other
        // text needs its whole width and height (beside a box's indicator
        // or a button's icon). The status line elides by design.
        bool fits = true;
        const QFontMetrics metrics(widget->font());
        if (label && label->wordWrap()) {
            fits = label->heightForWidth(label->width()) <= label->height() + 1;
        } else if (label) {
            if (label->textFormat() == Qt::RichText || Qt::mightBeRichText(label->text()) ||
                widget->inherits("ElidedLabel"))
                continue;
            const QSize text = metrics.size(0, label->text());
            fits = text.width() <= label->contentsRect().width() + 1 &&
                   text.height() <= label->contentsRect().height() + 1;
        } else {
            const QSize text = metrics.size(Qt::TextShowMnemonic, button->text());
            int beside = 0;
            if (!button->icon().isNull())
                beside += button->iconSize().width() + 4;
            if (qobject_cast<const QCheckBox*>(button))
                beside += widget->style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, widget) +
                          widget->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, widget);
            fits = text.width() + beside <= button->width() && text.height() <= button->height();
        }
        // What lies beside its parent is cut off as well.
        if (fits && widget->parentWidget()) {
            const QRect inParent = widget->geometry();
            const QRect parent = widget->parentWidget()->rect();
            fits = inParent.left() >= parent.left() && inParent.right() <= parent.right();
        }
        if (!fits)
            clipped.append(widget->objectName());
    }
    QVERIFY2(clipped.isEmpty(), qPrintable(where + ": " + clipped.join(", ")));
}

QStringList visibleActionTexts(const QMenu* menu)
{
    QStringList texts;
    for (const QAction* action : menu->actions())
        if (action->isVisible() && !action->isSeparator())
            texts.append(action->text());
    return texts;
}

// Keys typed on the window, which hands them to its focus widget.
void typeKeys(QWindow* window, const char* text)
{
    for (const char* key = text; *key; ++key)
        QTest::keyClick(window, *key);
}

QAction* actionNamed(const QMenu* menu, const QString& text)
{
    for (QAction* action : menu->actions())
        if (action->text() == text)
            return action;
    return nullptr;
}

} // namespace

class AccessTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<CKMainWindow> makeWindow(Kist* engine, WindowMode mode)
    {
        auto window = std::make_unique<CKMainWindow>(engine, mode);
        window->setQuitAction([] {});
        window->setVaultMode(mode == VaultMode);
        return window;
    }

    static void settle(CKMainWindow& window)
    {
        for (QPropertyAnimation* slide : {window.coverAnimation(), window.shelfAnimation()})
            if (slide->state() == QAbstractAnimation::Running)
                slide->setCurrentTime(slide->duration());
    }

    static void showActive(QWidget* window)
    {
        window->show();
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
    }

    // Types the Vault password where the locked window waits for it.
    static void unlockByKeyboard(CKMainWindow& window)
    {
        QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(window.form()->password));
        typeKeys(window.windowHandle(), "secret");
        QTest::keyClick(window.windowHandle(), Qt::Key_Return);
        QVERIFY(window.isUnlocked());
        settle(window);
    }

    // A vault of two files and a folder.
    std::unique_ptr<Kist> filledVault()
    {
        auto engine = desktoptest::openVault("secret");
        const QString in = desktoptest::makeFolder("in");
        for (const char* name : {"a.txt", "b.txt"})
            engine->addFile(desktoptest::writeFile(in + "/" + name, QByteArray(name)).toStdString(), nullptr, false);
        desktoptest::writeFile(in + "/photos/one.jpg", "1");
        engine->addFile((in + "/photos").toStdString(), nullptr, false);
        return engine;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QAccessible::setActive(true);
    }

    void init()
    {
        desktoptest::resetProfile();
        desktoptest::clearDialogHooks();
        ExternalLink::setOpener([](const QUrl&) { return true; });
        CKMainWindow::overrideTrayAvailable(false);
    }

    void theVaultIsUsableWithTheKeyboardAlone()
    {
        auto engine = filledVault();
        auto window = makeWindow(engine.get(), VaultMode);
        Ui::CKMainWindow* ui = window->form();
        showActive(window.get());
        QWindow* keys = window->windowHandle();

        // The locked window waits for the password where it is typed.
        unlockByKeyboard(*window);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(window->vaultView()->tree()));
        QCOMPARE(window->vaultView()->entryCount(), 3);

        QTest::keyClick(keys, Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(window->vaultView()->selectedCount(), 3);
        QVERIFY(ui->selectAllcheckBox->isChecked());

        // Adding without dragging: files, then a folder, as a drop adds them.
        const QString in = desktoptest::makeFolder("chosen");
        const QString c = desktoptest::writeFile(in + "/c.txt", "c");
        const QString d = desktoptest::writeFile(in + "/d's notes.txt", "d");
        FileDialog::setNextFileNames({c, d});
        QTest::keyClick(keys, Qt::Key_O, Qt::ControlModifier);
        QTRY_VERIFY(window->vaultView()->allNames().contains("d's notes.txt"));
        QVERIFY(window->vaultView()->allNames().contains("c.txt"));
        QVERIFY(!QFileInfo::exists(c)); // moved into the vault, as a drop does
        desktoptest::writeFile(in + "/letters/one.txt", "1");
        FileDialog::setNextDirName(in + "/letters");
        QTest::keyClick(keys, Qt::Key_O, Qt::ControlModifier | Qt::ShiftModifier);
        QTRY_VERIFY(window->vaultView()->allNames().contains("letters"));
        QCOMPARE(FileDialog::lastAsked().caption, QStringLiteral("Add Folder"));
        // A cancelled chooser adds nothing.
        const QStringList before = window->vaultView()->allNames();
        QTest::keyClick(keys, Qt::Key_O, Qt::ControlModifier);
        QCOMPARE(window->vaultView()->allNames(), before);

        QTest::keyClick(keys, Qt::Key_L, Qt::ControlModifier);
        QVERIFY(!window->isUnlocked());
        QVERIFY(!window->vaultView()->isEnabled());
        // Locked, the shortcuts reach nothing behind the cover.
        FileDialog::clearAsked();
        QTest::keyClick(keys, Qt::Key_O, Qt::ControlModifier);
        QVERIFY(FileDialog::asked().isEmpty());
    }

    void tabFollowsTheShownOrderAndTheMenuOpensUnderItsButton_data()
    {
        QTest::addColumn<QString>("skin");
        QTest::newRow("built black") << "black";
        QTest::newRow("blue") << "blue";
    }
    void tabFollowsTheShownOrderAndTheMenuOpensUnderItsButton()
    {
        QFETCH(QString, skin);
        auto engine = filledVault();
        engine->persistConfig("Skin", skin.toStdString());
        auto window = makeWindow(engine.get(), VaultMode);
        Ui::CKMainWindow* ui = window->form();
        showActive(window.get());
        QWindow* keys = window->windowHandle();
        unlockByKeyboard(*window);
        ui->writerButton->click(); // the shelf opens
        settle(*window);

        // Tab from the lock button walks the shelf top to bottom.
        ui->lockButton->setFocus();
        QStringList walked;
        for (int i = 0; i < 3; ++i) {
            QTest::keyClick(keys, Qt::Key_Tab);
            walked.append(QApplication::focusWidget()->objectName());
        }
        QStringList shown;
        for (QWidget* button : window->actions()->shownSendButtons())
            shown.append(button->objectName());
        QCOMPARE(walked, shown);
        QVERIFY(ui->SystemButton->y() != ui->emailButton->y());

        // The pointer is far away: the menu opens under the button all the same.
        QCursor::setPos(window->mapToGlobal(QPoint(5, 300)));
        while (QApplication::focusWidget() != ui->settingsButton)
            QTest::keyClick(keys, Qt::Key_Tab);
        QTest::keyClick(keys, Qt::Key_Space);
        QMenu* menu = window->optionsMenu();
        QTRY_VERIFY(menu->isVisible());
        const QRect button = onScreen(ui->settingsButton);
        QCOMPARE(menu->geometry().top(), button.bottom() + 1);
        QVERIFY(qAbs(menu->geometry().left() - button.left()) <= button.width());
        QCOMPARE(visibleActionTexts(menu).mid(0, 2), (QStringList{"Add Files…", "Add Folder…"}));
        QTest::keyClick(menu, Qt::Key_Escape);
        QTRY_VERIFY(!menu->isVisible());
    }

    // Every Tab stop of the window shows that it has the focus, in every skin.
    void focusIsVisibleOnEveryStop_data()
    {
        QTest::addColumn<QString>("skin");
        QTest::newRow("black") << "black";
        QTest::newRow("blue") << "blue";
        QTest::newRow("pink") << "pink";
    }
    void focusIsVisibleOnEveryStop()
    {
        QFETCH(QString, skin);
        auto engine = filledVault();
        engine->persistConfig("Skin", skin.toStdString());
        auto window = makeWindow(engine.get(), VaultMode);
        showActive(window.get());
        unlockByKeyboard(*window);
        window->form()->writerButton->click();
        settle(*window);
        QWidget* first = QApplication::focusWidget();
        QStringList unseen;
        QStringList visited;
        for (QWidget* focused = first; !visited.contains(focused->objectName());) {
            visited.append(focused->objectName());
            const QImage withFocus = focused->grab().toImage();
            QTest::keyClick(window->windowHandle(), Qt::Key_Tab);
            if (focused->grab().toImage() == withFocus)
                unseen.append(focused->objectName());
            focused = QApplication::focusWidget();
        }
        QVERIFY2(visited.size() >= 10, qPrintable(visited.join(", ")));
        QVERIFY2(unseen.isEmpty(), qPrintable(unseen.join(", ")));
    }

    void theViewsMenuOffersWhatTheButtonsOffer()
    {
        auto engine = filledVault();
        engine->persistConfig("Skin", "black"); // the built order: save to folder on top
        auto window = makeWindow(engine.get(), VaultMode);
        Ui::CKMainWindow* ui = window->form();
        showActive(window.get());
        unlockByKeyboard(*window);
        QTest::keyClick(window->windowHandle(), Qt::Key_F10, Qt::ShiftModifier);
        QMenu* menu = window->actions()->viewMenu();
        QTRY_VERIFY(menu->isVisible());
        // The send entries follow the shelf's order, whatever the skin puts on top.
        QStringList sendTexts;
        for (QWidget* button : window->actions()->shownSendButtons())
            sendTexts.append(button->toolTip().chopped(1));
        QCOMPARE(visibleActionTexts(menu),
                 QStringList({"Add Files…", "Add Folder…", "Take Out"}) + sendTexts + QStringList{"Select All"});
        actionNamed(menu, "Select All")->trigger();
        QCOMPARE(window->vaultView()->selectedCount(), 3);
        QVERIFY(ui->selectAllcheckBox->isChecked());
        menu->hide();
        // Moved about, the shelf is followed again.
        ui->SystemButton->move(ui->SystemButton->x(), -100);
        QTest::keyClick(window->windowHandle(), Qt::Key_F10, Qt::ShiftModifier);
        QTRY_VERIFY(menu->isVisible());
        QCOMPARE(visibleActionTexts(menu).at(3), QStringLiteral("Encrypt and save to folder"));

        // Take Out from the menu takes the ticked entries out, as the button does.
        const QString out = desktoptest::makeFolder("out");
        FileDialog::setNextDirName(out);
        actionNamed(menu, "Take Out")->trigger();
        QTRY_COMPARE(window->vaultView()->entryCount(), 0);
        QVERIFY(QFileInfo::exists(out + "/a.txt"));
    }

    void aDropBesideTheListIsTakenAsADropOnItAndTheViewLightsUp()
    {
        auto engine = desktoptest::openVault("secret");
        auto window = makeWindow(engine.get(), VaultMode);
        showActive(window.get());
        unlockByKeyboard(*window);
        CKDropBox* view = window->vaultView();
        const QString file = desktoptest::writeFile(desktoptest::makeFolder("beside") + "/report.pdf", "pdf");
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(file)});

        // Over the view the drop area lights up, and it paints so.
        const QImage plain = view->grab().toImage();
        dragOver(window.get(), view->geometry().center(), &data);
        QVERIFY(view->dropHighlight()->isVisible());
        QVERIFY(view->grab().toImage() != plain);
        QDragLeaveEvent leave;
        QApplication::sendEvent(view, &leave);
        QVERIFY(!view->dropHighlight()->isVisible());

        // Beside the list (left of the view, below the shelf) the drop still adds.
        const QPoint beside(view->geometry().left() - 6, view->geometry().bottom() - 10);
        QVERIFY(!view->geometry().contains(beside));
        dropAt(window.get(), beside, &data);
        QTRY_COMPARE(view->allNames(), QStringList{"report.pdf"});
        QVERIFY(!window->form()->InfoLabel->text().startsWith("Failed :"));
        QVERIFY(!view->dropHighlight()->isVisible());

        // Locked, a drop on the window is a background picture again.
        QTest::keyClick(window->windowHandle(), Qt::Key_L, Qt::ControlModifier);
        const QString text = desktoptest::writeFile(desktoptest::makeFolder("locked") + "/notes.txt", "n");
        QMimeData notPicture;
        notPicture.setUrls({QUrl::fromLocalFile(text)});
        dropAt(window.get(), beside, &notPicture);
        QCOMPARE(window->form()->InfoLabel->text(), "Failed :" + text);
        QVERIFY(QFileInfo::exists(text));
    }

    void aScreenReaderHearsANameForEveryControlAndNoPassword()
    {
        auto engine = filledVault();
        {
            auto window = makeWindow(engine.get(), VaultMode);
            showActive(window.get());
            expectEveryControlNamed(window.get(), "vault locked");
            QCOMPARE(window->form()->lockLabel->accessibleName(), QStringLiteral("Vault locked"));
            QCOMPARE(QAccessible::queryAccessibleInterface(window->form()->lockButton)->text(QAccessible::Name),
                     QStringLiteral("Unlock the Vault"));
            window->form()->password->setText("secret");
            QTest::keyClick(window->windowHandle(), Qt::Key_Return);
            window->form()->writerButton->click();
            settle(*window);
            expectEveryControlNamed(window.get(), "vault unlocked");
            QCOMPARE(QAccessible::queryAccessibleInterface(window->vaultView()->tree())->text(QAccessible::Name),
                     QStringLiteral("Vault entries"));
            QCOMPARE(QAccessible::queryAccessibleInterface(window->form()->closeButton)->text(QAccessible::Description),
                     QStringLiteral("Close"));
        }
        {
            auto window = makeWindow(engine.get(), FileCreatorMode);
            showActive(window.get());
            expectEveryControlNamed(window.get(), "composer");
        }

        // Every dialog, each mode: named controls, and the first field has the focus.
        for (int mode = CKDefaultsOffPwd::SendToDropbox; mode <= CKDefaultsOffPwd::WelcomeEmail; ++mode) {
            CKDefaultsOffPwd dialog(nullptr, engine.get());
            dialog.setMode(mode);
            showActive(&dialog);
            QCOMPARE(QApplication::focusWidget(), dialog.findChild<QWidget*>("zipFileName"));
            expectEveryControlNamed(&dialog, QStringLiteral("password dialog %1").arg(mode));
            QCOMPARE(QAccessible::queryAccessibleInterface(dialog.findChild<QLineEdit*>("enterPwd"))
                         ->text(QAccessible::Name),
                     dialog.findChild<QLabel*>("enterPwdLabel")->text());
        }
        CKDefaultSettings settings(nullptr, engine.get());
        settings.setFolders(true, "/home/ann/Dropbox", "/home/ann/Restored");
        settings.showCurrentPassword(true);
        showActive(&settings);
        QCOMPARE(QApplication::focusWidget(), settings.findChild<QWidget*>("currentPwd"));
        expectEveryControlNamed(&settings, "default settings");
        CKDefaultOffPwdSystem save(nullptr, nullptr);
        save.setLocation("/home/ann/Desktop/MyFiles.kzip");
        showActive(&save);
        QCOMPARE(QApplication::focusWidget(), save.findChild<QWidget*>("zipFileName"));
        expectEveryControlNamed(&save, "save to computer");
        for (int mode = CKEnterEmail::OpenPackage; mode <= CKEnterEmail::VaultRestore; ++mode) {
            CKEnterEmail prompt(nullptr, engine.get());
            prompt.setMode(mode);
            showActive(&prompt);
            QCOMPARE(QApplication::focusWidget(), prompt.findChild<QWidget*>("email"));
            expectEveryControlNamed(&prompt, QStringLiteral("prompt %1").arg(mode));
        }
        auto window = makeWindow(engine.get(), VaultMode);
        CKBackupRestore* backup = window->backupRestoreDialog();
        backup->setMode(CKBackupRestore::Backup);
        showActive(backup);
        QCOMPARE(QApplication::focusWidget(), backup->findChild<QWidget*>("optionsComboBox"));
        expectEveryControlNamed(backup, "backup");
    }

    void everyWindowAndDialogFitsTheScreenWithNothingClipped()
    {
        auto engine = filledVault();
        // A Dropbox client, so the settings show their Dropbox row.
        const QString home = qEnvironmentVariable("HOME");
        QDir().mkpath(home + "/Dropbox");
        desktoptest::writeFile(home + "/.dropbox/info.json",
                               QStringLiteral("{\"personal\": {\"path\": \"%1/Dropbox\"}}").arg(home).toUtf8());
        for (WindowMode mode : {VaultMode, FileCreatorMode}) {
            auto window = makeWindow(engine.get(), mode);
            if (mode == VaultMode) {
                expectFitsAndNothingClipped(window.get(), "vault locked");
                window->form()->password->setText("secret");
                window->form()->lockButton->click();
                settle(*window);
            }
            expectFitsAndNothingClipped(window.get(), mode == VaultMode ? "vault" : "composer");
            if (mode != VaultMode)
                continue;
            window->SettingsMenuSelected();
            QVERIFY(window->defaultSettingsDialog()->findChild<QLineEdit*>("dropBoxFolder")->isVisibleTo(
                window->defaultSettingsDialog()));
            expectFitsAndNothingClipped(window->defaultSettingsDialog(), "default settings");
            // A long folder shows its end, and the whole path in its tool tip.
            auto* folder = window->defaultSettingsDialog()->findChild<QLineEdit*>("extractionFolder");
            const QString longPath = "/home/ann/" + QString("very long folder name/").repeated(6) + "Restored";
            folder->setText(longPath);
            QCOMPARE(folder->toolTip(), longPath);
            QCOMPARE(folder->cursorPosition(), longPath.size());
            window->defaultSettingsDialog()->hide();
            CKBackupRestore* backup = window->backupRestoreDialog();
            backup->setMode(CKBackupRestore::Backup);
            expectFitsAndNothingClipped(backup, "backup");
            backup->hide();
            for (int mode2 : {CKDefaultsOffPwd::SendToDropbox, CKDefaultsOffPwd::Welcome,
                              CKDefaultsOffPwd::ExtractToVault, CKDefaultsOffPwd::ChangeVaultPassword}) {
                window->passwordDialog()->setMode(mode2);
                expectFitsAndNothingClipped(window->passwordDialog(), QStringLiteral("password dialog %1").arg(mode2));
                window->passwordDialog()->hide();
            }
            window->saveToComputerDialog()->setLocation(home + "/Desktop/MyFiles.kzip");
            expectFitsAndNothingClipped(window->saveToComputerDialog(), "save to computer");
            window->saveToComputerDialog()->hide();
            CKEnterEmail prompt(window.get(), engine.get());
            prompt.setMode(CKEnterEmail::VaultRestore);
            expectFitsAndNothingClipped(&prompt, "prompt");
            // The folder chooser the settings open is a Qt chooser on this desktop.
            QFileDialog chooser(window.get(), QStringLiteral("Select a directory"), home);
            chooser.setFileMode(QFileDialog::Directory);
            chooser.setOption(QFileDialog::DontUseNativeDialog);
            chooser.show();
            QVERIFY(QTest::qWaitForWindowExposed(&chooser));
            QVERIFY(chooser.screen()->availableGeometry().contains(chooser.frameGeometry()));
        }
    }
};

VAULTDESK_TEST_MAIN(AccessTest)
#include "AccessTest.moc"
