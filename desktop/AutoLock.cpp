#include "desktop/AutoLock.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusMessage>
#include <QEvent>
#include <QTimer>

#include "desktop/EngineCall.h"

#include <unistd.h>

namespace {

constexpr int kRealMinuteMs = 60 * 1000;
int minuteMs = kRealMinuteMs;

const QString kScreenSaverService = QStringLiteral("org.freedesktop.ScreenSaver");
const QString kScreenSaverPath = QStringLiteral("/org/freedesktop/ScreenSaver");
const QString kLogindService = QStringLiteral("org.freedesktop.login1");
const QString kLogindPath = QStringLiteral("/org/freedesktop/login1");
const QString kLogindManager = QStringLiteral("org.freedesktop.login1.Manager");
const QString kLogindSession = QStringLiteral("org.freedesktop.login1.Session");

bool isUserInput(QEvent::Type type)
{
    switch (type) {
    case QEvent::KeyPress:
    case QEvent::MouseButtonPress:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::TouchBegin:
    case QEvent::TabletPress:
        return true;
    default:
        return false;
    }
}

} // namespace

AutoLock::AutoLock(QObject* parent)
    : QObject(parent)
    , idle(new QTimer(this))
{
    idle->setSingleShot(true);
    connect(idle, &QTimer::timeout, this, [this] {
        if (!armed)
            return;
        // Someone waiting for a long operation is not idle: the count starts
        // again once it is over (the session's lock still locks at once).
        if (EngineCall::isRunning()) {
            restartIdleCount();
            return;
        }
        Q_EMIT lockRequested();
    });
    QCoreApplication::instance()->installEventFilter(this);
    watchTheDesktopSession();
}

AutoLock::~AutoLock() = default;

int AutoLock::minutesFromSetting(const QString& value)
{
    if (value == QLatin1String("off"))
        return 0;
    bool number = false;
    const int stored = value.toInt(&number);
    if (!number || stored < 1 || stored > longestMinutes)
        return defaultMinutes;
    return stored;
}

QString AutoLock::settingFromMinutes(int value)
{
    if (value <= 0)
        return QStringLiteral("off");
    return QString::number(qMin(value, longestMinutes));
}

void AutoLock::setMinuteLengthForTests(int milliseconds)
{
    minuteMs = milliseconds > 0 ? milliseconds : kRealMinuteMs;
}

void AutoLock::setIdleMinutes(int value)
{
    minutes = qBound(0, value, longestMinutes);
    restartIdleCount();
}

void AutoLock::setArmed(bool on)
{
    armed = on;
    restartIdleCount();
}

void AutoLock::restartIdleCount()
{
    if (!armed || minutes == 0) {
        idle->stop();
        return;
    }
    idle->start(minutes * minuteMs);
}

bool AutoLock::eventFilter(QObject* watched, QEvent* event)
{
    // Input reaches the filter once for the window and again for each widget
    // it passes; restarting the timer is cheap either way.
    if (armed && minutes > 0 && isUserInput(event->type()))
        idle->start(minutes * minuteMs);
    return QObject::eventFilter(watched, event);
}

void AutoLock::watchTheDesktopSession()
{
    // Either bus may be missing (a bare X session, a container): the idle
    // timer then works alone.
    QDBusConnection session = QDBusConnection::sessionBus();
    if (session.isConnected())
        session.connect(QString(), kScreenSaverPath, kScreenSaverService, QStringLiteral("ActiveChanged"), this,
                        SLOT(screenSaverActiveChanged(bool)));
    QDBusConnection system = QDBusConnection::systemBus();
    if (!system.isConnected())
        return;
    system.connect(QString(), kLogindPath, kLogindManager, QStringLiteral("PrepareForSleep"), this,
                   SLOT(prepareForSleep(bool)));
    // Lock is sent to one session's object: ours, once logind names it.
    // Without an answer every session's Lock is heard, which only ever locks
    // more often.
    QDBusMessage ask = QDBusMessage::createMethodCall(kLogindService, kLogindPath, kLogindManager,
                                                      QStringLiteral("GetSessionByPID"));
    ask << static_cast<uint>(::getpid());
    auto* watcher = new QDBusPendingCallWatcher(system.asyncCall(ask), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        const QDBusPendingReply<QDBusObjectPath> reply = *watcher;
        const QString path = reply.isValid() ? reply.value().path() : QString();
        sessionLockWatched = QDBusConnection::systemBus().connect(QString(), path, kLogindSession,
                                                                  QStringLiteral("Lock"), this, SLOT(sessionLocked()));
        watcher->deleteLater();
    });
}

void AutoLock::screenSaverActiveChanged(bool active)
{
    if (active && armed)
        Q_EMIT lockRequested();
}

void AutoLock::sessionLocked()
{
    if (armed)
        Q_EMIT lockRequested();
}

void AutoLock::prepareForSleep(bool starting)
{
    if (starting && armed)
        Q_EMIT lockRequested();
}
