// The e-mail hand-off as a mail program sees it: xdg-email run for real, with
// stand-ins for Thunderbird (xdg-email's compose string) and for a program
// that takes the mailto: address ($MAILER), each the mailto handler of the
// scratch home. An entry's name, however hostile, must not add or cut a field.
#include <QCheckBox>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QUrl>
#include <QUrlQuery>

#include <sys/stat.h>

#include "desktop/CKDropBox.h"
#include "desktop/CKMainWindow.h"
#include "tests/desktop/DesktopTestSupport.h"
#include "ui_CKMainWindow.h"

using namespace desktoptest;

namespace {

const QString kProgram = QStringLiteral(VAULTDESK_PROGRAM);
// Quotes, commas, an ampersand, a question mark, a percent sign and a line
// break: each ends or starts a field somewhere in xdg-email. (The vault
// refuses a backslash in a name.)
const QString kHostileName = QStringLiteral("a',to='evil@example',x='b\"&c?d%0A\nq.txt");
const QRegularExpression kSafeName(QStringLiteral("^[\\p{L}\\p{M}\\p{Nd} ._()-]+$"));

// Which mail program xdg-email hands the mail to.
enum class Client { Thunderbird, MailtoProgram };

// A mail program on PATH that records its arguments, NUL-separated, and the
// desktop settings that make it the scratch home's mailto handler.
class MailClient {
public:
    explicit MailClient(Client kind)
        : folder(makeFolder(QStringLiteral("mail-client")))
    {
        const QString bin = folder + "/bin";
        const QString program = writeFile(bin + (kind == Client::Thunderbird ? "/thunderbird" : "/mailto-handler"),
                                          QStringLiteral("#!/bin/sh\nprintf '%s\\0' \"$@\" > '%1/arguments'\n")
                                              .arg(folder)
                                              .toUtf8());
        QFile::setPermissions(program, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        const QString desktopFile = kind == Client::Thunderbird ? "thunderbird.desktop" : "mailto-handler.desktop";
        writeFile(qEnvironmentVariable("XDG_DATA_HOME") + "/applications/" + desktopFile,
                  QStringLiteral("[Desktop Entry]\nType=Application\nName=Mail\nExec=%1 %u\n"
                                 "MimeType=x-scheme-handler/mailto;\n")
                      .arg(QFileInfo(program).fileName())
                      .toUtf8());
        writeFile(qEnvironmentVariable("XDG_CONFIG_HOME") + "/mimeapps.list",
                  QStringLiteral("[Default Applications]\nx-scheme-handler/mailto=%1\n").arg(desktopFile).toUtf8());
        savedPath = qgetenv("PATH");
        qputenv("PATH", (bin + ":" + QString::fromUtf8(savedPath)).toUtf8());
        // No desktop is detected: xdg-email asks the mailto handler.
        qputenv("XDG_CURRENT_DESKTOP", "X-Generic");
        if (kind == Client::MailtoProgram)
            qputenv("MAILER", program.toUtf8());
        else
            qunsetenv("MAILER");
    }
    ~MailClient()
    {
        qputenv("PATH", savedPath);
        qunsetenv("MAILER");
        qunsetenv("XDG_CURRENT_DESKTOP");
    }
    MailClient(const MailClient&) = delete;
    MailClient& operator=(const MailClient&) = delete;

    QString argumentsFile() const { return folder + "/arguments"; }
    QStringList arguments() const
    {
        QStringList list = QString::fromUtf8(readFile(argumentsFile())).split(QChar(u'\0'));
        list.removeLast();
        return list;
    }

private:
    QString folder;
    QByteArray savedPath;
};

struct Mail {
    QStringList fields; // the field names, in order
    QString subject;
    QString attachment;
};

// Thunderbird's "-compose" string: comma-separated key=value pairs, the
// attachment in single quotes, subject and body percent-encoded.
Mail parseCompose(const QString& compose)
{
    Mail mail;
    for (const QString& field : compose.split(QLatin1Char(','))) {
        const QString key = field.section(QLatin1Char('='), 0, 0);
        const QString value = field.section(QLatin1Char('='), 1);
        mail.fields.append(key);
        if (key == QLatin1String("subject"))
            mail.subject = QUrl::fromPercentEncoding(value.toUtf8());
        if (key == QLatin1String("attachment") && value.size() >= 2 && value.startsWith('\'') && value.endsWith('\''))
            mail.attachment = value.mid(1, value.size() - 2);
    }
    return mail;
}

Mail parseMailto(const QString& address)
{
    Mail mail;
    const QUrl url(address);
    const QUrlQuery query(url.query(QUrl::FullyEncoded));
    for (const auto& [key, value] : query.queryItems(QUrl::FullyDecoded)) {
        mail.fields.append(key);
        if (key == QLatin1String("subject"))
            mail.subject = value;
        if (key == QLatin1String("attach"))
            mail.attachment = value;
    }
    if (!url.path().isEmpty())
        mail.fields.prepend(QStringLiteral("to"));
    return mail;
}

// What the client received: one mail whose fields are the program's own,
// whose one attachment is the package of entryName, whole.
void checkMail(Client kind, const MailClient& client, const QString& packagePassword, const QString& entryName)
{
    const QStringList arguments = client.arguments();
    Mail mail;
    if (kind == Client::Thunderbird) {
        QCOMPARE(arguments.size(), 2);
        QCOMPARE(arguments.first(), QStringLiteral("-compose"));
        mail = parseCompose(arguments.last());
        QCOMPARE(mail.fields, (QStringList{"subject", "body", "attachment"}));
    } else {
        QCOMPARE(arguments.size(), 1);
        QVERIFY2(arguments.first().startsWith(QLatin1String("mailto:?")), qPrintable(arguments.first()));
        mail = parseMailto(arguments.first());
        QCOMPARE(mail.fields, (QStringList{"subject", "body", "attach"}));
    }
    const QFileInfo attachment(mail.attachment);
    QVERIFY2(attachment.isFile(), qPrintable(mail.attachment));
    QVERIFY2(kSafeName.match(attachment.fileName()).hasMatch(), qPrintable(attachment.fileName()));
    QVERIFY(attachment.fileName().endsWith(QLatin1String(".kzip")));
    QCOMPARE(mail.subject, QStringLiteral("Please find KORVELIN file %1 attached").arg(attachment.fileName()));

    // The package keeps its own name beside the attachment, and its entry keeps the hostile one.
    const QString packageName = entryName.left(entryName.indexOf('.')) + ".kzip";
    QCOMPARE(QFileInfo(attachment.path() + "/" + packageName).size(), attachment.size());
    Kist package(mail.attachment.toStdString());
    QVERIFY(package.login(packagePassword.toStdString()));
    QCOMPARE(listedNames(package), QStringList{entryName});
}

void setDefaults(const QString& password)
{
    Kist settings(false);
    settings.persistConfig("DefaultsOn", "true");
    settings.persistConfig("DefaultPassword", password.toStdString());
    settings.persistConfig("RestoreFolder", makeFolder(QStringLiteral("restore")).toStdString());
}

void clients()
{
    QTest::addColumn<Client>("kind");
    QTest::newRow("thunderbird") << Client::Thunderbird;
    QTest::newRow("mailto program") << Client::MailtoProgram;
}

void clickAt(QWidget* window, QWidget* target)
{
    QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {}, target->mapTo(window, target->rect().center()));
}

} // namespace

class MailHandoffTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        resetProfile();
        clearDialogHooks();
        CKMainWindow::overrideTrayAvailable(false);
    }

    // The vault window: unlock, tick the entry, open the shelf and press the e-mail button.
    void fromTheWindow_data() { clients(); }
    void fromTheWindow()
    {
        QFETCH(Client, kind);
        const MailClient client(kind);
        setDefaults(QStringLiteral("mail-pw"));
        auto engine = openVault("secret");
        const QString source = writeFile(makeFolder(QStringLiteral("source")) + "/" + kHostileName, "the body");
        engine->addFile(source.toStdString(), nullptr, false);
        engine->logoff();

        CKMainWindow window(engine.get(), VaultMode);
        window.setVaultMode(true);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.form()->password->setFocus();
        QTest::keyClicks(window.form()->password, QStringLiteral("secret"));
        QTest::keyClick(window.form()->password, Qt::Key_Return);
        QTRY_VERIFY(window.isUnlocked());
        QTRY_COMPARE(window.vaultView()->allNames(), QStringList{kHostileName});
        // The cover slides away before the view can be reached.
        QTRY_COMPARE(window.form()->lockLabel->geometry(), window.coverOpenGeometry());
        clickAt(&window, window.form()->selectAllcheckBox);
        QTRY_VERIFY(window.form()->selectAllcheckBox->isChecked());
        clickAt(&window, window.form()->writerButton);
        QTRY_COMPARE(window.form()->writerButtons->pos(), window.shelfOpenPosition());
        clickAt(&window, window.form()->emailButton);
        QTRY_COMPARE(window.form()->InfoLabel->text(), QStringLiteral("Handed to your mail program"));
        checkMail(kind, client, QStringLiteral("mail-pw"), kHostileName);
    }

    // "VaultDesk /se FILE" with the defaults on: no window, the same mail.
    void fromTheShell_data() { clients(); }
    void fromTheShell()
    {
        QFETCH(Client, kind);
        const MailClient client(kind);
        setDefaults(QStringLiteral("shell-pw"));
        const QString source = writeFile(makeFolder(QStringLiteral("shell")) + "/" + kHostileName, "shell body");

        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("KORVELIN_UPDATE_SERVER"), QStringLiteral("127.0.0.1:1"));
        child.setProcessEnvironment(environment);
        child.start(kProgram, {QStringLiteral("/se"), source});
        QVERIFY(child.waitForFinished(60000));
        QCOMPARE(child.exitCode(), 0);
        QTRY_VERIFY(QFile::exists(client.argumentsFile()));
        checkMail(kind, client, QStringLiteral("shell-pw"), kHostileName);
        // The user's file stays where it was.
        QCOMPARE(readFile(source), QByteArray("shell body"));
    }
};

VAULTDESK_TEST_MAIN(MailHandoffTest)
#include "MailHandoffTest.moc"
