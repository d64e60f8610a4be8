#include "desktop/SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QThread>
#include <QWidget>
#include <QtEndian>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// A message travels as a 4-byte big-endian length and that many UTF-8 bytes;
// the instance answers one byte once it has the whole message.
constexpr char kAcknowledged = '\x06';
constexpr qint64 kHeaderBytes = 4;
// Start-up sends a few words; anything larger is not one of ours.
constexpr quint32 kMaxMessageBytes = 64 * 1024;
// How long a sender waits between attempts while the instance that holds
// the lock is still starting and does not listen yet.
constexpr int kRetryPauseMs = 50;

int remainingMs(const QDeadlineTimer& deadline)
{
    if (deadline.isForever())
        return -1;
    return int(std::clamp<qint64>(deadline.remainingTime(), 0, INT_MAX));
}

// A folder only this user can enter: owned by us, a real folder (no link),
// without group or other permissions.
bool isPrivateFolder(const QString& path)
{
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    return S_ISDIR(info.st_mode) && info.st_uid == ::getuid() && (info.st_mode & 077) == 0;
}

QString safeFileNamePart(const QString& id)
{
    QString out;
    for (QChar c : id)
        out += (c.isLetterOrNumber() && c.unicode() < 128) || c == u'-' || c == u'_' || c == u'.' ? c : u'_';
    return out.isEmpty() ? QStringLiteral("app") : out;
}

} // namespace

QString SingleInstance::runtimeFolder()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (QDir::isAbsolutePath(runtime) && isPrivateFolder(runtime))
        return QDir::cleanPath(runtime);

    const QString fallback = QDir::tempPath() + QStringLiteral("/korvelin-%1").arg(::getuid());
    const QByteArray native = QFile::encodeName(fallback);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        qWarning("SingleInstance: cannot create %s: %s", native.constData(), std::strerror(errno));
        return {};
    }
    struct stat info {};
    if (::lstat(native.constData(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::getuid()
        && (info.st_mode & 077) != 0) {
        // Ours but left open by someone's umask: close it before trusting it.
        ::chmod(native.constData(), 0700);
    }
    if (!isPrivateFolder(fallback)) {
        qWarning("SingleInstance: %s is not a private folder of this user; not using it", native.constData());
        return {};
    }
    return fallback;
}

SingleInstance::SingleInstance(const QString& appId, QObject* parent)
    : QObject(parent)
{
    const QString folder = runtimeFolder();
    if (!folder.isEmpty()) {
        const QString base = folder + u'/' + safeFileNamePart(appId) + u'-' + QString::number(::getuid());
        m_socketPath = base + QStringLiteral(".socket");
        m_lockPath = base + QStringLiteral(".lock");
    }
}

SingleInstance::~SingleInstance()
{
    if (m_server)
        m_server->close(); // removes the socket file before the lock goes
    if (m_lock)
        m_lock->unlock();
}

bool SingleInstance::isRunning()
{
    if (m_decided)
        return m_otherRunning;
    m_decided = true;
    if (m_lockPath.isEmpty())
        return false; // no safe place: run on our own rather than refuse to start

    m_lock = std::make_unique<QLockFile>(m_lockPath);
    // An instance may run for weeks: its lock grows stale only when its
    // process is gone, never by age.
    m_lock->setStaleLockTime(0);
    if (m_lock->tryLock(0)) {
        becomePrimary();
    } else if (m_lock->error() == QLockFile::LockFailedError) {
        m_otherRunning = true;
    } else {
        qWarning("SingleInstance: cannot use the lock file %s", qPrintable(m_lockPath));
    }
    return m_otherRunning;
}

void SingleInstance::becomePrimary()
{
    m_primary = true;
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::acceptConnections);
    // We hold the lock, so a socket file still there was left by a killed instance.
    QLocalServer::removeServer(m_socketPath);
    if (!m_server->listen(m_socketPath))
        qWarning("SingleInstance: cannot listen on %s: %s", qPrintable(m_socketPath),
                 qPrintable(m_server->errorString()));
}

void SingleInstance::acceptConnections()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        readFrom(socket);
    }
}

void SingleInstance::readFrom(QLocalSocket* socket)
{
    if (socket->bytesAvailable() < kHeaderBytes)
        return;
    const QByteArray header = socket->peek(kHeaderBytes);
    const quint32 length = qFromBigEndian<quint32>(header.constData());
    if (length > kMaxMessageBytes) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    if (socket->bytesAvailable() < kHeaderBytes + qint64(length))
        return;
    socket->skip(kHeaderBytes);
    const QString message = QString::fromUtf8(socket->read(length));
    // Confirm first: a slot may open a modal dialog while the sender waits.
    socket->write(&kAcknowledged, 1);
    socket->flush();
    socket->disconnectFromServer();

    emit messageReceived(message);
    if (m_activateOnMessage)
        activateWindow();
}

bool SingleInstance::sendMessage(const QString& text, int timeoutMs)
{
    if (!isRunning())
        return false;

    const QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    for (;;) {
        socket.connectToServer(m_socketPath);
        if (socket.waitForConnected(remainingMs(deadline)))
            break;
        // The instance holds the lock but may not listen yet: try again.
        if (deadline.hasExpired())
            return false;
        const int left = remainingMs(deadline);
        QThread::msleep(ulong(left < 0 ? kRetryPauseMs : std::min(kRetryPauseMs, left)));
    }

    const QByteArray body = text.toUtf8();
    if (body.size() > qsizetype(kMaxMessageBytes))
        return false;
    QByteArray frame(kHeaderBytes, '\0');
    qToBigEndian<quint32>(quint32(body.size()), frame.data());
    frame += body;
    if (socket.write(frame) != frame.size())
        return false;
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(remainingMs(deadline)))
            return false;
    }
    if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(remainingMs(deadline)))
        return false;
    char answer = 0;
    return socket.getChar(&answer) && answer == kAcknowledged;
}

void SingleInstance::setActivationWindow(QWidget* window, bool activateOnMessage)
{
    m_window = window;
    m_activateOnMessage = activateOnMessage;
}

QWidget* SingleInstance::activationWindow() const
{
    return m_window;
}

void SingleInstance::activateWindow()
{
    if (!m_window)
        return;
    m_window->setWindowState(m_window->windowState() & ~Qt::WindowMinimized);
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}
