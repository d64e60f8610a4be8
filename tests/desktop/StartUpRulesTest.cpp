// The start's pure rules: what the command line asks for, which flow wins,
// where "/xh" extracts to and which welcome can be answered.
#include <QTest>

#include "desktop/StartUpRules.h"

using namespace StartUpRules;

Q_DECLARE_METATYPE(StartUpRules::StartFlow)
Q_DECLARE_METATYPE(StartUpRules::Welcome)

namespace {

// The flags as one text, so a table row names them briefly.
QString flagsOf(const CommandLine& line)
{
    QStringList set;
    const struct {
        bool value;
        const char* name;
    } flags[] = {{line.extractChosen, "x"}, {line.extractHere, "xh"}, {line.extractToVault, "xv"},
                 {line.sendToFolder, "sf"}, {line.sendToDropbox, "sd"}, {line.sendByEmail, "se"},
                 {line.addToVault, "sv"},   {line.fileCreator, "w"},    {line.shell, "sh"},
                 {line.verbose, "v"},       {line.restore, "r"}};
    for (const auto& flag : flags)
        if (flag.value)
            set << QString::fromLatin1(flag.name);
    return set.join(u' ');
}

} // namespace

class StartUpRulesTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void scanArguments_data();
    void scanArguments();
    void chooseFlow_data();
    void chooseFlow();
    void extractHereFolder_data();
    void extractHereFolder();
    void backupsAreToldApart();
    void chooseWelcome_data();
    void chooseWelcome();
};

void StartUpRulesTest::scanArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("flags");

    QTest::newRow("nothing") << QStringList{} << "" << "";
    // A file manager passes absolute paths: they are paths, not unknown switches.
    QTest::newRow("absolute path") << QStringList{"/home/ann/report.kzip"} << "/home/ann/report.kzip" << "";
    QTest::newRow("switch and absolute path")
        << QStringList{"/xh", "/home/ann/photos.2012.kzip"} << "/home/ann/photos.2012.kzip" << "xh";
    QTest::newRow("path before switch") << QStringList{"/tmp/a b.txt", "/sf"} << "/tmp/a b.txt" << "sf";
    QTest::newRow("later path replaces earlier") << QStringList{"/a.kzip", "rel/b.kzip"} << "rel/b.kzip" << "";
    // Switches are compared whole and case-sensitively.
    QTest::newRow("upper case is a path") << QStringList{"/X"} << "/X" << "";
    QTest::newRow("longer text is a path") << QStringList{"/xhv"} << "/xhv" << "";
    QTest::newRow("folder named like a switch") << QStringList{"/x/"} << "/x/" << "";
    QTest::newRow("every switch") << QStringList{"/x", "/xh", "/xv", "/sf", "/sd", "/se", "/sv", "/w", "/sh", "/v", "/r"}
                                  << "" << "x xh xv sf sd se sv w sh v r";
    QTest::newRow("empty argument keeps the path") << QStringList{"/a.kzip", ""} << "/a.kzip" << "";
    QTest::newRow("apostrophe and spaces") << QStringList{"/sv", "/home/o'neil/my file"} << "/home/o'neil/my file"
                                           << "sv";
}

void StartUpRulesTest::scanArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, path);
    QFETCH(QString, flags);
    const CommandLine line = StartUpRules::scanArguments(arguments);
    QCOMPARE(line.path, path);
    QCOMPARE(flagsOf(line), flags);
}

void StartUpRulesTest::chooseFlow_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<StartFlow>("flow");

    const QString p = QStringLiteral("/home/ann/file.kzip");
    QTest::newRow("normal start") << QStringList{} << StartFlow::Normal;
    QTest::newRow("/sh and /v alone") << QStringList{"/sh", "/v"} << StartFlow::Normal;
    QTest::newRow("path") << QStringList{p} << StartFlow::OpenPackage;
    QTest::newRow("two paths") << QStringList{"/a.kzip", p} << StartFlow::OpenPackage;
    QTest::newRow("/x") << QStringList{"/x", p} << StartFlow::ExtractChosen;
    QTest::newRow("/xh") << QStringList{"/xh", p} << StartFlow::ExtractHere;
    QTest::newRow("/xv") << QStringList{"/xv", p} << StartFlow::ExtractToVault;
    QTest::newRow("/sf") << QStringList{"/sf", p} << StartFlow::SendToFolder;
    QTest::newRow("/sd") << QStringList{"/sd", p} << StartFlow::SendToDropbox;
    QTest::newRow("/se") << QStringList{"/se", p} << StartFlow::SendByEmail;
    QTest::newRow("/sv") << QStringList{"/sv", p} << StartFlow::AddToVault;
    // Precedence: /x, /xh, /xv, /sf, /sv, /sd, /se, then a path, then /r, then /w.
    QTest::newRow("/x beats /xh") << QStringList{"/xh", "/x", p} << StartFlow::ExtractChosen;
    QTest::newRow("/xh beats /xv") << QStringList{"/xv", "/xh", p} << StartFlow::ExtractHere;
    QTest::newRow("/xv beats /sf") << QStringList{"/sf", "/xv", p} << StartFlow::ExtractToVault;
    QTest::newRow("/sf beats /sv") << QStringList{"/sv", "/sf", p} << StartFlow::SendToFolder;
    QTest::newRow("/sv beats /sd") << QStringList{"/sd", "/sv", p} << StartFlow::AddToVault;
    QTest::newRow("/sd beats /se") << QStringList{"/se", "/sd", p} << StartFlow::SendToDropbox;
    QTest::newRow("path beats /w") << QStringList{"/w", p} << StartFlow::OpenPackage;
    QTest::newRow("path beats /r") << QStringList{"/r", p} << StartFlow::OpenPackage;
    QTest::newRow("/w") << QStringList{"/w"} << StartFlow::FileCreator;
    QTest::newRow("/w with /sh /v") << QStringList{"/sh", "/w", "/v"} << StartFlow::FileCreator;
    // Without a path the shell switches and /r refuse, whatever else is given.
    for (const char* shellSwitch : {"/x", "/xh", "/xv", "/sf", "/sd", "/se", "/sv", "/r"})
        QTest::newRow(qPrintable(QStringLiteral("%1 alone").arg(QLatin1String(shellSwitch))))
            << QStringList{QLatin1String(shellSwitch)} << StartFlow::Refused;
    QTest::newRow("/sd and /w without path") << QStringList{"/w", "/sd"} << StartFlow::Refused;
    QTest::newRow("/r beats /w") << QStringList{"/w", "/r"} << StartFlow::Refused;
}

void StartUpRulesTest::chooseFlow()
{
    QFETCH(QStringList, arguments);
    QFETCH(StartFlow, flow);
    QCOMPARE(StartUpRules::chooseFlow(StartUpRules::scanArguments(arguments)), flow);
}

void StartUpRulesTest::extractHereFolder_data()
{
    QTest::addColumn<QString>("package");
    QTest::addColumn<QString>("folder");

    QTest::newRow("name up to the first dot") << "/docs/photos.2012.kzip" << "/docs/photos";
    QTest::newRow("one extension") << "/a/report.kzip" << "/a/report";
    QTest::newRow("spaces kept") << "/home/ann/My Files.kzip" << "/home/ann/My Files";
    QTest::newRow("package at the root") << "/photos.kzip" << "/photos";
    QTest::newRow("hidden name") << "/d/.photos.kzip" << "/d/.photos";
    QTest::newRow("no dot") << "/d/photos" << "/d/photos files";
    QTest::newRow("nothing before the extension") << "/d/.kzip" << "/d/KORVELIN File";
}

void StartUpRulesTest::extractHereFolder()
{
    QFETCH(QString, package);
    QFETCH(QString, folder);
    QCOMPARE(StartUpRules::extractHereFolder(package), folder);
}

void StartUpRulesTest::backupsAreToldApart()
{
    QVERIFY(isVaultBackup("/home/ann/korvelin.0A1B2C3D4E5F.kzipbkp"));
    QVERIFY(isVaultBackup("/b/KORVELIN.X.KZIPBKP"));
    QVERIFY(!isVaultBackup("/b/photos.kzip"));
    QVERIFY(!isVaultBackup("/b/photos.kzipbkp.kzip"));
}

void StartUpRulesTest::chooseWelcome_data()
{
    QTest::addColumn<bool>("firstLaunch");
    QTest::addColumn<bool>("normalStart");
    QTest::addColumn<bool>("passwordEmpty");
    QTest::addColumn<bool>("emailEmpty");
    QTest::addColumn<Welcome>("welcome");

    QTest::newRow("set up") << false << true << false << false << Welcome::None;
    QTest::newRow("first launch") << true << true << true << true << Welcome::PasswordAndEmail;
    QTest::newRow("normal start, no password") << false << true << true << false << Welcome::PasswordAndEmail;
    QTest::newRow("no address") << false << true << false << true << Welcome::EmailOnly;
    QTest::newRow("package at first launch") << true << false << true << true << Welcome::PasswordAndEmail;
    QTest::newRow("package, no password, address known") << false << false << true << false << Welcome::None;
    // The e-mail-only welcome confirms with the Vault password: without one
    // it could never be answered, so the full welcome is asked instead.
    QTest::newRow("package, neither set") << false << false << true << true << Welcome::PasswordAndEmail;
    // Settings lost beside a vault with a password: the full welcome could
    // never set a first password; only the address is missing.
    QTest::newRow("settings lost, vault kept") << true << true << false << true << Welcome::EmailOnly;
    QTest::newRow("package, settings lost") << true << false << false << true << Welcome::EmailOnly;
}

void StartUpRulesTest::chooseWelcome()
{
    QFETCH(bool, firstLaunch);
    QFETCH(bool, normalStart);
    QFETCH(bool, passwordEmpty);
    QFETCH(bool, emailEmpty);
    QFETCH(Welcome, welcome);
    QCOMPARE(StartUpRules::chooseWelcome({firstLaunch, normalStart, passwordEmpty, emailEmpty}), welcome);
}

QTEST_APPLESS_MAIN(StartUpRulesTest)
#include "StartUpRulesTest.moc"
