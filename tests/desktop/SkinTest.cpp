#include <QIcon>
#include <QPixmap>
#include <QPushButton>

#include "desktop/CKMainWindow.h"
#include "desktop/Skin.h"
#include "tests/desktop/DesktopTestSupport.h"
#include "ui_CKMainWindow.h"

class SkinTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void storedValuesChooseTheirSkin_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("skin");
        QTest::addColumn<bool>("keepsBuiltLook");
        QTest::newRow("black") << "black" << "black" << true;
        QTest::newRow("blue") << "blue" << "blue" << false;
        QTest::newRow("pink") << "pink" << "pink" << false;
        QTest::newRow("empty") << "" << "black" << false;
        QTest::newRow("unknown") << "purple" << "black" << false;
        QTest::newRow("other case") << "Blue" << "black" << false;
    }

    void storedValuesChooseTheirSkin()
    {
        QFETCH(QString, stored);
        QFETCH(QString, skin);
        QFETCH(bool, keepsBuiltLook);
        QCOMPARE(Skin::fromStored(stored).storedName(), skin);
        QCOMPARE(Skin::keepsBuiltLook(stored), keepsBuiltLook);
        // What a skin stores chooses the same skin again.
        QCOMPARE(Skin::fromStored(Skin::fromStored(stored).storedName()).kind(), Skin::fromStored(stored).kind());
    }

    void backgroundsApplyToTheNamedWidgetOnly()
    {
        QCOMPARE(Skin(SkinKind::Black).backgroundRule("lockLabel"),
                 QStringLiteral("QWidget#lockLabel{\n\tborder-image: url(:/images/backgroundRe2.png);\n\n}"));
        QCOMPARE(Skin(SkinKind::Pink).backgroundRule("CKDefaultSettings"),
                 QStringLiteral("QWidget#CKDefaultSettings{\n\tborder-image: url(:/images/pink_background1.png);\n\n}"));
        QVERIFY(Skin(SkinKind::Blue).backgroundRule("centralWidget").startsWith("QWidget#centralWidget {\n"));
        QVERIFY(Skin(SkinKind::Blue).backgroundRule("centralWidget").contains("stop: 1 #293859"));
    }

    void everySkinPutsTheEmailButtonOnTop()
    {
        for (SkinKind kind : {SkinKind::Black, SkinKind::Blue, SkinKind::Pink}) {
            const Skin skin(kind);
            const int height = kind == SkinKind::Black ? 60 : 52;
            const int top = kind == SkinKind::Black ? 0 : 3;
            QCOMPARE(skin.sendButtonGeometry("emailButton"), QRect(10, top, 60, height));
            QCOMPARE(skin.sendButtonGeometry("dropBoxButton"), QRect(10, top + 55, 60, height));
            QCOMPARE(skin.sendButtonGeometry("SystemButton"), QRect(10, top + 110, 60, height));
        }
    }

    void applyingASkinReachesEveryStyledWidgetInOrder()
    {
        const QList<Skin::WidgetLook> looks = Skin(SkinKind::Pink).widgetLooks({"CKDefaultsOffPwd"});
        QStringList names;
        for (const Skin::WidgetLook& look : looks)
            names.append(look.objectName);
        QCOMPARE(names, (QStringList{"centralWidget", "lockLabel", "CKDefaultsOffPwd", "lockButton", "menuBar",
                                     "emailButton", "dropBoxButton", "SystemButton", "extractButton",
                                     "restoreButton"}));
        for (const Skin::WidgetLook& look : looks) {
            if (look.objectName.endsWith("Button") && look.objectName != "lockButton")
                QVERIFY2(look.styleSheet.contains(":/images/PinkSquareButton.png"), qPrintable(look.objectName));
            QCOMPARE(look.geometry.has_value(), Skin::sendButtonNames().contains(look.objectName));
        }
        QVERIFY(Skin(SkinKind::Blue).titleStyle().contains("#bec1d2"));
        QVERIFY(!Skin(SkinKind::Blue).buttonStyle().contains("border-image"));
        QVERIFY(Skin(SkinKind::Blue).buttonStyle().contains("padding: 1px"));
    }

    void theFormIsBuiltInTheBlackLook()
    {
        desktoptest::resetProfile();
        Kist engine(true);
        engine.persistConfig("Skin", "black"); // keeps the look the form builds
        CKMainWindow window(&engine, VaultMode);
        Ui::CKMainWindow* ui = window.form();
        for (QPushButton* button : {ui->SystemButton, ui->dropBoxButton, ui->emailButton, ui->extractButton})
            QCOMPARE(button->styleSheet(), Skin::builtButtonStyle());
        QCOMPARE(ui->menuBar->styleSheet(),
                 "QLabel#menuBar{\n" + Skin(SkinKind::Black).titleStyle() + "\n}\n");
        // The send buttons still stand in black's order, as a change to black gives them.
        QCOMPARE(ui->emailButton->geometry(), QRect(10, 0, 60, 60));
        QCOMPARE(ui->SystemButton->geometry(), QRect(10, 110, 60, 60));
        // Buttons that show only an icon are named for screen readers.
        for (QPushButton* button : window.findChildren<QPushButton*>()) {
            if (button->text().isEmpty() && !button->icon().isNull() && button->isEnabled())
                QVERIFY2(!button->accessibleName().isEmpty() && button->accessibleName() == button->toolTip(),
                         qPrintable(button->objectName()));
        }
        QCOMPARE(window.size(), QSize(420, 350));
        QCOMPARE(window.minimumSize(), QSize(420, 350));
        QCOMPARE(window.maximumSize(), QSize(420, 350));
    }

    void everyPictureLoadsAtItsSizeAndTwice()
    {
        const QStringList names{"32x32.png", "Dropbox2.png", "PinkSquareButton.png", "arrow-down.png",
                                "arrow-up.png", "backgroundRe.png", "backgroundRe2.png", "button1.png",
                                "button2.png", "close-32x32.png", "email.png", "folder-blue-open-icon.png",
                                "meterBG.png", "minimizewhite.png", "myComputer2.png", "pink_background1.png",
                                "titlebar.png", "undo-icon.png", "whitesettings.png"};
        for (const QString& name : names) {
            const QPixmap base(":/images/" + name);
            QString doubledName = name;
            doubledName.insert(doubledName.lastIndexOf('.'), "@2x");
            const QPixmap doubled(":/images/" + doubledName);
            QVERIFY2(!base.isNull(), qPrintable(name));
            QCOMPARE(doubled.size(), base.size() * 2);
        }
        QCOMPARE(QPixmap(":/images/logo.ico").size(), QSize(64, 64));
    }

    void picturesPathsAreQuoted()
    {
        QCOMPARE(Skin::pictureRule("centralWidget", "/home/a b/it's (1).png"),
                 QStringLiteral("QWidget#centralWidget{\n\tborder-image: url(\"/home/a b/it's (1).png\");\n}"));
        QCOMPARE(Skin::pictureRule("centralWidget", "/x/say \"hi\".png"),
                 QStringLiteral("QWidget#centralWidget{\n\tborder-image: url(\"/x/say \\\"hi\\\".png\");\n}"));
    }
};

VAULTDESK_TEST_MAIN(SkinTest)
#include "SkinTest.moc"
