#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

class QLocalServer;
class QLocalSocket;
class QLockFile;
class QWidget;

// One interactive instance per application id and user.
//
// The first object that asks isRunning() takes a lock file and listens on a
// local socket; later objects (in other processes) find the lock held, answer
// true and may pass a text to the first one with sendMessage(). Both files
// live in $XDG_RUNTIME_DIR (else in a private 0700 folder under the temporary
// folder) and are named after the id and the user's uid, so users never see
// each other's instance. A lock or socket left behind by a killed instance is
// recognised as stale (its process is gone) and taken over.
//
// Only the normal start of the vault window takes part. Shell starts (the
// extract, store and send switches) must not create this object: they run
// beside an open vault window and must not wake it or become the instance.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    explicit SingleInstance(const QString& appId, QObject* parent = nullptr);
    ~SingleInstance() override;

    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // True when another live instance holds the id. Otherwise this object
    // becomes the instance (the first call decides; later calls repeat it).
    [[nodiscard]] bool isRunning();

    // Passes text to the running instance and waits up to timeoutMs for it to
    // confirm receipt. False when this object is the instance itself, when no
    // instance answers in time, or when the text could not be delivered.
    [[nodiscard]] bool sendMessage(const QString& text, int timeoutMs);

    // The window that every received message shows, raises and activates
    // (unless activateOnMessage is false; activateWindow() then does it).
    void setActivationWindow(QWidget* window, bool activateOnMessage = true);
    [[nodiscard]] QWidget* activationWindow() const;

    [[nodiscard]] bool isPrimary() const { return m_primary; }
    [[nodiscard]] QString socketPath() const { return m_socketPath; }
    [[nodiscard]] QString lockPath() const { return m_lockPath; }

    // The private folder that holds the socket and lock files ("" when none
    // could be made safely).
    [[nodiscard]] static QString runtimeFolder();

public slots:
    void activateWindow();

signals:
    void messageReceived(const QString& message);

private:
    void becomePrimary();
    void acceptConnections();
    void readFrom(QLocalSocket* socket);

    QString m_socketPath;
    QString m_lockPath;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer* m_server = nullptr;
    QPointer<QWidget> m_window;
    bool m_activateOnMessage = false;
    bool m_decided = false;
    bool m_primary = false;
    bool m_otherRunning = false;
};
