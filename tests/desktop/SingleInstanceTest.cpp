// The single-instance channel between two VaultDesk starts: the second start
// is played by a real second process (single_instance_peer), so the lock file,
// the socket and a SIGKILLed holder are the real thing.
#include "desktop/SingleInstance.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QWidget>
#include <QtTest>

#include <sys/stat.h>

namespace {

const QString kAppId = QStringLiteral("KORVELIN");
const QString kWakeUp = QStringLiteral("Wake up!");

int modeOf(const QString& path)
{
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return int(info.st_mode & 07777);
}

bool makeFolder(const QString& path, int mode)
{
    return QDir().mkpath(path) && ::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0;
}

// A second start that sends text; it waits for our answer, so it runs beside
// the test's event loop.
void startSender(QProcess& peer, const QString& text)
{
    peer.start(QStringLiteral(SINGLE_INSTANCE_PEER), {QStringLiteral("send"), text, QStringLiteral("5000")});
}

} // namespace

class SingleInstanceTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void secondStartWakesTheFirstAndShowsItsWindow();
    void instanceNeverSendsToItselfAndIdsStayApart();
    void killedInstanceDoesNotBlockTheNextStart();
    void senderWaitsForAnInstanceStillStarting();
    void folderIsPrivate();

private:
    QString m_runtime;
};

void SingleInstanceTest::init()
{
    // A fresh runtime folder per test, so no test inherits another's files.
    static int round = 0;
    m_runtime = QDir::tempPath() + QStringLiteral("/run-%1").arg(++round);
    QVERIFY(makeFolder(m_runtime, 0700));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime));
}

void SingleInstanceTest::secondStartWakesTheFirstAndShowsItsWindow()
{
    SingleInstance first(kAppId);
    QVERIFY(!first.isRunning());
    QVERIFY(first.isPrimary());
    QVERIFY(first.socketPath().startsWith(m_runtime + u'/'));
    QVERIFY(QFile::exists(first.socketPath()));

    QWidget window; // hidden, as a vault window closed to the tray
    first.setActivationWindow(&window);
    QSignalSpy received(&first, &SingleInstance::messageReceived);

    QProcess second;
    startSender(second, kWakeUp);
    QTRY_COMPARE(received.count(), 1);
    QCOMPARE(received.at(0).at(0).toString(), kWakeUp);
    QTRY_VERIFY(window.isVisible());
    QTRY_VERIFY(window.isActiveWindow());
    QTRY_COMPARE(second.state(), QProcess::NotRunning);
    QCOMPARE(second.exitCode(), 0); // the sender learnt that its message arrived

    // A window minimised meanwhile comes back too; text beyond ASCII arrives whole.
    window.showMinimized();
    const QString text = QStringLiteral("Wake up! \u00e9t\u00e9 \u2713");
    startSender(second, text);
    QTRY_COMPARE(received.count(), 2);
    QCOMPARE(received.at(1).at(0).toString(), text);
    QTRY_VERIFY(!window.isMinimized());
    QTRY_COMPARE(second.state(), QProcess::NotRunning);
    QCOMPARE(second.exitCode(), 0);
}

void SingleInstanceTest::instanceNeverSendsToItselfAndIdsStayApart()
{
    SingleInstance first(kAppId);
    QVERIFY(!first.isRunning());
    QVERIFY(!first.sendMessage(kWakeUp, 1000));

    SingleInstance other(QStringLiteral("SOMETHING ELSE"));
    QVERIFY(!other.isRunning());
    QVERIFY(other.isPrimary());
    QVERIFY(other.socketPath() != first.socketPath());

    // Once the instance is gone, the next start takes its place.
    const QString lock = first.lockPath();
    {
        SingleInstance again(kAppId);
        QVERIFY(again.isRunning());
        QVERIFY(!again.isPrimary());
    }
    QVERIFY(QFile::exists(lock)); // a second start leaves the first one's files alone
}

void SingleInstanceTest::killedInstanceDoesNotBlockTheNextStart()
{
    QProcess killed;
    killed.start(QStringLiteral(SINGLE_INSTANCE_PEER), {QStringLiteral("hold")});
    QVERIFY(killed.waitForReadyRead(15000));
    QCOMPARE(killed.readLine().trimmed(), QByteArray("primary"));

    SingleInstance probe(kAppId);
    const QString socket = probe.socketPath();
    const QString lock = probe.lockPath();
    QVERIFY(QFile::exists(socket));
    QVERIFY(QFile::exists(lock));

    killed.kill(); // SIGKILL: nothing of the peer gets to clean up
    QVERIFY(killed.waitForFinished(15000));
    QVERIFY(QFile::exists(socket));
    QVERIFY(QFile::exists(lock));

    SingleInstance next(kAppId);
    QVERIFY(!next.isRunning());
    QVERIFY(next.isPrimary());
    QSignalSpy received(&next, &SingleInstance::messageReceived);
    QProcess third;
    startSender(third, kWakeUp);
    QTRY_COMPARE(received.count(), 1);
    QTRY_COMPARE(third.state(), QProcess::NotRunning);
    QCOMPARE(third.exitCode(), 0);
}

void SingleInstanceTest::senderWaitsForAnInstanceStillStarting()
{
    // The first start holds the lock but does not listen yet (it is still
    // opening the vault): a second start must keep trying, not give up.
    const QString lockPath = SingleInstance(kAppId).lockPath();
    QLockFile starting(lockPath);
    QVERIFY(starting.tryLock(0));

    QProcess second;
    startSender(second, kWakeUp);
    QTRY_VERIFY(second.canReadLine());
    QCOMPARE(second.readLine().trimmed(), QByteArray("sending"));

    starting.unlock();
    SingleInstance first(kAppId);
    QVERIFY(!first.isRunning());
    QSignalSpy received(&first, &SingleInstance::messageReceived);
    QTRY_COMPARE(received.count(), 1);
    QTRY_COMPARE(second.state(), QProcess::NotRunning);
    QCOMPARE(second.exitCode(), 0);
}

void SingleInstanceTest::folderIsPrivate()
{
    const QString fallback = QDir::tempPath() + QStringLiteral("/korvelin-%1").arg(::getuid());

    // A runtime folder others may enter is not used: the private fallback is.
    QVERIFY(makeFolder(m_runtime, 0777));
    QCOMPARE(SingleInstance::runtimeFolder(), fallback);
    QCOMPARE(modeOf(fallback), 0700);

    // Without XDG_RUNTIME_DIR too; a fallback left open by a umask is closed.
    qunsetenv("XDG_RUNTIME_DIR");
    QVERIFY(::chmod(QFile::encodeName(fallback).constData(), 0755) == 0);
    SingleInstance instance(kAppId);
    QVERIFY(instance.socketPath().startsWith(fallback + u'/'));
    QCOMPARE(modeOf(fallback), 0700);
    QVERIFY(!instance.isRunning());
    QSignalSpy received(&instance, &SingleInstance::messageReceived);
    QProcess second;
    startSender(second, kWakeUp);
    QTRY_COMPARE(received.count(), 1);
    QTRY_COMPARE(second.state(), QProcess::NotRunning);
    QCOMPARE(second.exitCode(), 0);
}

int main(int argc, char** argv)
{
    // Every run gets a scratch home and runtime folder of its own.
    QTemporaryDir scratch(QDir::tempPath() + QStringLiteral("/kist-test-desktop-XXXXXX"));
    if (!scratch.isValid())
        return 1;
    if (qEnvironmentVariableIsSet("KIST_KEEP_SCRATCH")) {
        scratch.setAutoRemove(false);
        qInfo("scratch home: %s", qPrintable(scratch.path()));
    }
    const QString tmp = scratch.path() + QStringLiteral("/tmp");
    QDir().mkpath(tmp);
    // Qt itself wants a runtime folder; each test then sets one of its own.
    const QString runtime = scratch.path() + QStringLiteral("/run");
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    qputenv("HOME", QFile::encodeName(scratch.path()));
    qputenv("TMPDIR", QFile::encodeName(tmp));
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication app(argc, argv);
    SingleInstanceTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "SingleInstanceTest.moc"
