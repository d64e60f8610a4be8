#include <QImage>
#include <QMimeData>
#include <QPushButton>

#include "desktop/CKDropBox.h"
#include "desktop/CKMainWindow.h"
#include "desktop/ElidedLabel.h"
#include "desktop/Skin.h"
#include "desktop/WindowLook.h"
#include "tests/desktop/DesktopTestSupport.h"
#include "ui_CKMainWindow.h"

namespace {

QString writePicture(const QString& path)
{
    QImage image(40, 30, QImage::Format_RGB32);
    image.fill(QColor(10, 200, 30));
    desktoptest::writeFile(path, QByteArray()); // creates the folder
    if (!image.save(path, "PNG"))
        return {};
    return path;
}

void dropOnWindow(QWidget* window, const QList<QUrl>& urls)
{
    QMimeData data;
    data.setUrls(urls);
    QDragEnterEvent enter(QPoint(5, 100), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window, &enter);
    QDropEvent dropped(QPointF(5, 100), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window, &dropped);
}

} // namespace

class WindowLookTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        desktoptest::resetProfile();
        desktoptest::clearDialogHooks();
        engine = std::make_unique<Kist>(true);
    }

    void cleanup() { engine.reset(); }

    void theStoredSkinIsAppliedWhenTheWindowIsBuilt()
    {
        engine->persistConfig("Skin", "pink");
        CKMainWindow window(engine.get(), VaultMode);
        Ui::CKMainWindow* ui = window.form();
        QCOMPARE(window.currentSkin(), SkinKind::Pink);
        QCOMPARE(ui->lockButton->styleSheet(), Skin(SkinKind::Pink).buttonStyle());
        QCOMPARE(ui->restoreButton->styleSheet(), Skin(SkinKind::Pink).buttonStyle());
        QCOMPARE(ui->menuBar->styleSheet(), Skin(SkinKind::Pink).titleStyle());
        QCOMPARE(ui->centralWidget->styleSheet(), Skin(SkinKind::Pink).backgroundRule("centralWidget"));
        QCOMPARE(ui->lockLabel->styleSheet(), Skin(SkinKind::Pink).backgroundRule("lockLabel"));
        QCOMPARE(ui->emailButton->geometry(), QRect(10, 3, 60, 52));
        QCOMPARE(ui->SystemButton->geometry(), QRect(10, 113, 60, 52));
    }

    // A button must be where the user saw it: a skin chosen from the menu
    // and the same skin stored at the next start place the send buttons alike,
    // in every mode that shows them.
    void aSkinChangeAndARestartWithItStoredPlaceTheSendButtonsAlike()
    {
        const auto places = [](CKMainWindow& window) {
            QList<QRect> rects;
            for (QWidget* button : {static_cast<QWidget*>(window.form()->SystemButton),
                                    static_cast<QWidget*>(window.form()->dropBoxButton),
                                    static_cast<QWidget*>(window.form()->emailButton)})
                rects.append(button->geometry());
            return rects;
        };
        for (const WindowMode mode : {VaultMode, FileCreatorMode}) {
            for (const SkinKind kind : {SkinKind::Black, SkinKind::Blue, SkinKind::Pink}) {
                engine->persistConfig("Skin", "");
                QList<QRect> changed;
                {
                    CKMainWindow window(engine.get(), mode);
                    if (kind == SkinKind::Black)
                        window.BlackSkinSelected();
                    else if (kind == SkinKind::Blue)
                        window.BlueSkinSelected();
                    else
                        window.PinkSkinSelected();
                    changed = places(window);
                }
                CKMainWindow restarted(engine.get(), mode);
                QCOMPARE(restarted.currentSkin(), kind);
                QCOMPARE(places(restarted), changed);
                // The e-mail button is on top, save-to-computer at the bottom.
                QVERIFY(changed[2].top() < changed[1].top() && changed[1].top() < changed[0].top());
            }
        }
        engine->persistConfig("Skin", "green");
        CKMainWindow window(engine.get(), VaultMode);
        QCOMPARE(window.currentSkin(), SkinKind::Black);
        QCOMPARE(window.form()->emailButton->geometry(), QRect(10, 0, 60, 60));
        QCOMPARE(engine->retrieveConfig("Skin"), "black");

        window.BlueSkinSelected();
        QCOMPARE(engine->retrieveConfig("Skin"), "blue");
        QCOMPARE(window.form()->extractButton->styleSheet(), Skin(SkinKind::Blue).buttonStyle());
    }

    void aDroppedPictureBecomesTheBackgroundUntilASkinIsChosen()
    {
        const QString picture = writePicture(desktoptest::makeFolder("pictures") + "/my pictures/it's (1).png");
        QVERIFY(!picture.isEmpty());
        CKMainWindow window(engine.get(), VaultMode);
        Ui::CKMainWindow* ui = window.form();
        dropOnWindow(&window, {QUrl::fromLocalFile(picture)});

        QCOMPARE(ui->InfoLabel->text(), picture);
        QCOMPARE(engine->retrieveConfig("pixmap"), picture.toStdString());
        QCOMPARE(ui->centralWidget->styleSheet(), Skin::pictureRule("centralWidget", picture));
        QCOMPARE(ui->lockLabel->pixmap().size(), ui->lockLabel->size());
        // Qt reads the quoted address: the window shows the picture's colour.
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        ui->lockLabel->hide();
        const QImage shot = window.grab().toImage();
        QCOMPARE(shot.pixelColor(20, 250), QColor(10, 200, 30));

        // A new window shows the stored picture again.
        {
            CKMainWindow again(engine.get(), VaultMode);
            QCOMPARE(again.look()->backgroundPicture(), picture);
            QVERIFY(!again.form()->lockLabel->pixmap().isNull());
        }

        window.PinkSkinSelected();
        QCOMPARE(engine->retrieveConfig("pixmap"), "");
        QVERIFY(ui->lockLabel->pixmap().isNull());
        QCOMPARE(ui->centralWidget->styleSheet(), Skin(SkinKind::Pink).backgroundRule("centralWidget"));
    }

    void whatIsNoPictureChangesNothing()
    {
        const QString text = desktoptest::writeFile(desktoptest::makeFolder("docs") + "/notes.txt", "no picture");
        CKMainWindow window(engine.get(), VaultMode);
        const QString before = window.form()->centralWidget->styleSheet();
        dropOnWindow(&window, {QUrl::fromLocalFile(text)});
        QCOMPARE(window.form()->InfoLabel->text(), "Failed :" + text);
        QCOMPARE(window.form()->centralWidget->styleSheet(), before);
        QCOMPARE(engine->retrieveConfig("pixmap"), "");

        // A stored picture that has gone leaves the skin's own background.
        engine->persistConfig("pixmap", (desktoptest::scratchRoot() + "/gone.png").toStdString());
        CKMainWindow later(engine.get(), VaultMode);
        QVERIFY(later.form()->lockLabel->pixmap().isNull());
        QVERIFY(later.form()->centralWidget->styleSheet().contains("url(:/images/backgroundRe2.png)"));
    }

    void packageWindowsIgnorePictureDrops()
    {
        const QString picture = writePicture(desktoptest::makeFolder("pictures") + "/p.png");
        CKMainWindow window(engine.get(), OpenFileMode);
        const QString before = window.form()->InfoLabel->text();
        dropOnWindow(&window, {QUrl::fromLocalFile(picture)});
        QCOMPARE(window.form()->InfoLabel->text(), before);
        QCOMPARE(engine->retrieveConfig("pixmap"), "");
    }

    void aLongStatusIsElidedInTheMiddleWithTheWholeTextInItsToolTip()
    {
        CKMainWindow window(engine.get(), VaultMode);
        auto* status = qobject_cast<ElidedLabel*>(window.form()->InfoLabel);
        QVERIFY(status);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        // The first words a user reads fit the line whole.
        QCOMPARE(status->shownText(), QStringLiteral("Drag/Drop the files to this box and select desired button."));
        const QString path = "/home/someone/" + QString(60, 'x') + "/the end.txt";
        window.vaultView()->setStatus("Adding " + path + "...");
        QCOMPARE(status->text(), "Adding " + path + "...");
        QCOMPARE(status->toolTip(), "Adding " + path + "...");
        QVERIFY(status->shownText().startsWith("Adding /home"));
        QVERIFY(status->shownText().endsWith("the end.txt..."));
        QVERIFY(status->shownText().contains(QChar(0x2026)));
        QVERIFY(QFontMetrics(status->shownFont()).horizontalAdvance(status->shownText())
                <= status->contentsRect().width());
    }

private:
    std::unique_ptr<Kist> engine;
};

VAULTDESK_TEST_MAIN(WindowLookTest)
#include "WindowLookTest.moc"
