#include "desktop/InputRules.h"
#include "desktop/PasswordStrength.h"
#include "tests/desktop/DesktopTestSupport.h"

class InputRulesTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void packageExtension_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("settled");
        QTest::newRow("no dot") << "report" << "report.kzip";
        QTest::newRow("already kzip") << "report.kzip" << "report.kzip";
        QTest::newRow("ends in a dot") << "report." << "report..kzip";
        QTest::newRow("upper case") << "REPORT.KZIP" << "REPORT.KZIP.kzip";
        QTest::newRow("other extension") << "report.zip" << "report.zip.kzip";
        QTest::newRow("kzip inside") << "my.kzip.txt" << "my.kzip.txt.kzip";
        QTest::newRow("two dots") << "a.b.kzip" << "a.b.kzip";
        QTest::newRow("bare kzip") << "kzip" << "kzip.kzip";
    }
    void packageExtension()
    {
        QFETCH(QString, typed);
        QFETCH(QString, settled);
        QCOMPARE(InputRules::withPackageExtension(typed), settled);
    }

    void defaultPackageName_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("package");
        QTest::newRow("photo") << "photo.jpg" << "photo.kzip";
        QTest::newRow("up to the first dot") << "archive.tar.gz" << "archive.kzip";
        QTest::newRow("no dot") << "Documents" << "Documents.kzip";
        QTest::newRow("blanks") << "my photo.jpg" << "my photo.kzip";
    }
    void defaultPackageName()
    {
        QFETCH(QString, entry);
        QFETCH(QString, package);
        QCOMPARE(InputRules::defaultPackageName(entry), package);
    }

    void freeNamesCountUpFromTwo()
    {
        const QString folder = desktoptest::makeFolder("free");
        QCOMPARE(InputRules::freeFileName(folder, "photo.kzip"), QStringLiteral("photo.kzip"));
        desktoptest::writeFile(folder + "/photo.kzip", "1");
        QCOMPARE(InputRules::freeFileName(folder, "photo.kzip"), QStringLiteral("photo (2).kzip"));
        desktoptest::writeFile(folder + "/photo (2).kzip", "2");
        QCOMPARE(InputRules::freeFileName(folder + "/", "photo.kzip"), QStringLiteral("photo (3).kzip"));
        // A dangling link is taken too: writing through it would go elsewhere.
        QVERIFY(QFile::link(folder + "/nowhere", folder + "/link.kzip"));
        QCOMPARE(InputRules::freeFileName(folder, "link.kzip"), QStringLiteral("link (2).kzip"));
    }

    // An entry with the longest name a file system takes still saves with
    // the defaults on, twice, and a box about it stays narrow.
    void longNamesFitTheFileSystemAndTheBoxes()
    {
        const QString entry = QString(127, QChar(0xE9)) + QStringLiteral("x"); // 255 bytes, the most there is
        const QString name = InputRules::defaultPackageName(entry);
        QVERIFY(name.endsWith(QStringLiteral(".kzip")));
        QVERIFY(name.toUtf8().size() <= 255 - 7);
        QCOMPARE(QString::fromUtf8(name.toUtf8()), name); // whole characters only
        const QString folder = desktoptest::makeFolder("long");
        for (int copy = 0; copy < 2; ++copy) {
            const QString free = InputRules::freeFileName(folder, name);
            QVERIFY(!free.isEmpty());
            QFile file(folder + "/" + free);
            QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(file.errorString()));
        }
        QCOMPARE(InputRules::freeFileName(folder, name), name.left(name.size() - 5) + " (3).kzip");

        const QString text = QStringLiteral("Failed to move: ") + folder + "/" + entry;
        const QString shown = MessageBox::boundedText(text);
        QVERIFY(shown.startsWith(QStringLiteral("Failed to move: ")));
        for (const QString& run : shown.split(QLatin1Char(' ')))
            QVERIFY2(run.size() <= 60, qPrintable(run));
        QCOMPARE(MessageBox::boundedText(QStringLiteral("Short words stay as they are.")),
                 QStringLiteral("Short words stay as they are."));
    }

    void locationsSplitAtTheLastSlash_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("fileName");
        QTest::newRow("path") << "/home/u/Desktop/report.kzip" << "/home/u/Desktop" << "report.kzip";
        QTest::newRow("root") << "/report" << "/" << "report";
        QTest::newRow("trailing slash") << "/home/u/" << "/home/u" << "";
        QTest::newRow("no slash: no folder") << "report" << "" << "report";
    }
    void locationsSplitAtTheLastSlash()
    {
        QFETCH(QString, typed);
        QFETCH(QString, folder);
        QFETCH(QString, fileName);
        const InputRules::Location split = InputRules::splitLocation(typed);
        QCOMPARE(split.folder, folder);
        QCOMPARE(split.fileName, fileName);
    }

    void emailPattern_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("plain") << "ann@example.org" << true;
        QTest::newRow("dot later") << "a@b.c" << true;
        QTest::newRow("dot before and after") << "ann.lee@mail.example" << true;
        QTest::newRow("no dot after at") << "ann.lee@localhost" << false;
        QTest::newRow("no at") << "ann.example.org" << false;
        QTest::newRow("only the pattern's bones") << "@." << true;
        QTest::newRow("empty") << "" << false;
    }
    void emailPattern()
    {
        QFETCH(QString, address);
        QFETCH(bool, accepted);
        QCOMPARE(InputRules::looksLikeEmailAddress(address), accepted);
    }

    // What a user types, and the word the estimator gives it.
    void passwordStrength_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("word");
        QTest::newRow("one character") << "a" << "weak";
        QTest::newRow("common word") << "password" << "weak";
        QTest::newRow("keyboard row") << "qwertyuiop" << "weak";
        QTest::newRow("short word") << "secret" << "weak";
        QTest::newRow("the program's own name") << "Korvelin2024" << "weak";
        QTest::newRow("its name, longer") << "korvelinsafehold" << "weak";
        QTest::newRow("word with substitutions") << "Tr0ub4dor&3" << "fair";
        QTest::newRow("ten random characters") << "h7K#pz2Lq9" << "good";
        QTest::newRow("four common words") << "correct horse battery staple" << "good";
        QTest::newRow("sixteen random characters") << "Xk9$mQ2vLp7#wRt4" << "strong";
        QTest::newRow("twenty random characters") << "8f3Kd92mXqP0zL5vB7nQ" << "strong";
        QTest::newRow("not ASCII") << QString::fromUtf8("Grüße-aus-Köln-Über-Dächer-7") << "strong";
    }
    void passwordStrength()
    {
        QFETCH(QString, password);
        QFETCH(QString, word);
        const PasswordStrength strength = PasswordStrength::of(password);
        QCOMPARE(strength.word(), word);
        QCOMPARE(strength.isWeak(), word == "weak");
    }

    void strengthLevelsMeetAtTheirBounds()
    {
        using Level = PasswordStrength::Level;
        QCOMPARE(PasswordStrength::levelForBits(PasswordStrength::kFairFromBits - 0.01), Level::Weak);
        QCOMPARE(PasswordStrength::levelForBits(PasswordStrength::kFairFromBits), Level::Fair);
        QCOMPARE(PasswordStrength::levelForBits(PasswordStrength::kGoodFromBits), Level::Good);
        QCOMPARE(PasswordStrength::levelForBits(PasswordStrength::kStrongFromBits), Level::Strong);
        QCOMPARE(PasswordStrength::of(QString()).bits(), 0.0);
        QVERIFY(PasswordStrength::of(QString()).isWeak());
    }

    // What the mail program is given: only letters, marks, digits and " ._()-"
    // pass; the name stays valid UTF-8 within 255 bytes and keeps ".kzip".
    void mailAttachmentName_data()
    {
        QTest::addColumn<QString>("package");
        QTest::addColumn<QString>("handedOver");
        QTest::newRow("plain") << "photo (2).kzip" << "photo (2).kzip";
        QTest::newRow("field breakers") << "a',to='x@y',b=\"&c?d%0A\\e;f|g.kzip"
                                        << "a__to__x_y__b___c_d_0A_e_f_g.kzip";
        QTest::newRow("line breaks and tabs") << "a\nb\r\tc.kzip" << "a_b__c.kzip";
        QTest::newRow("other scripts") << QString::fromUtf8("Фото-日本_é\u0301.kzip")
                                       << QString::fromUtf8("Фото-日本_é\u0301.kzip");
        QTest::newRow("outside the first plane") << QString::fromUtf8("\U00020000\U0001F600.kzip")
                                                 << QString::fromUtf8("\U00020000_.kzip");
        QTest::newRow("direction override") << QString::fromUtf8("gpj\u202Eexe.kzip") << "gpj_exe.kzip";
        QTest::newRow("lone surrogate") << QString(QChar(0xD800)) + ".kzip" << "_.kzip";
        QTest::newRow("dots only") << ".." << "MyFiles.kzip";
    }
    void mailAttachmentName()
    {
        QFETCH(QString, package);
        QFETCH(QString, handedOver);
        QCOMPARE(InputRules::mailAttachmentName(package), handedOver);
    }

    void aLongMailAttachmentNameIsCutBeforeItsExtension()
    {
        // 200 three-byte letters: 600 bytes, cut to whole letters within 255.
        const QString name = InputRules::mailAttachmentName(QString(200, QChar(0x65E5)) + "'.kzip");
        const QByteArray bytes = name.toUtf8();
        QVERIFY(bytes.size() <= 255);
        QVERIFY(bytes.size() > 245);
        QVERIFY(name.endsWith(QStringLiteral(".kzip")));
        QCOMPARE(QString::fromUtf8(bytes), name);
        QVERIFY(!name.contains(QChar::ReplacementCharacter));
        QVERIFY(name.startsWith(QString(10, QChar(0x65E5))));
    }
};

VAULTDESK_TEST_MAIN(InputRulesTest)
#include "InputRulesTest.moc"
