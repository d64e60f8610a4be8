#pragma once

#include <QObject>
#include <QString>

class QTimer;

// Tells the vault window when to lock by itself: after a time without the
// user's input, when the desktop session locks its screen (the freedesktop
// screen saver's ActiveChanged, logind's Lock) and when the system is about
// to sleep (logind's PrepareForSleep). Where no bus is reachable, the idle
// timer alone.
class AutoLock : public QObject {
    Q_OBJECT

public:
    explicit AutoLock(QObject* parent = nullptr);
    ~AutoLock() override;

    // Minutes without input before the lock; 0 turns the idle lock off.
    void setIdleMinutes(int minutes);
    [[nodiscard]] int idleMinutes() const { return minutes; }
    // Only an unlocked vault counts idle time; arming starts the count afresh.
    void setArmed(bool on);
    [[nodiscard]] bool isArmed() const { return armed; }
    // logind's Lock is listened to (once logind was asked which session this is).
    [[nodiscard]] bool watchesSessionLock() const { return sessionLockWatched; }

    // The stored setting: "off", or whole minutes from 1 to 60. Anything
    // else (nothing stored yet included) is the default.
    [[nodiscard]] static int minutesFromSetting(const QString& value);
    [[nodiscard]] static QString settingFromMinutes(int minutes);
    static constexpr const char* settingName = "AutoLockMinutes";
    static constexpr int defaultMinutes = 10;
    static constexpr int longestMinutes = 60;

    // Tests make a minute shorter; 0 restores the real one.
    static void setMinuteLengthForTests(int milliseconds);

Q_SIGNALS:
    void lockRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private Q_SLOTS:
    void screenSaverActiveChanged(bool active);
    void sessionLocked();
    void prepareForSleep(bool starting);

private:
    void watchTheDesktopSession();
    void restartIdleCount();

    QTimer* idle;
    int minutes = defaultMinutes;
    bool armed = false;
    bool sessionLockWatched = false;
};
