#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class QProcess;

// One e-mail handed to the user's mail client through xdg-email, which opens
// a compose window with the subject, the body and one attachment. The
// program is run directly, never through a shell, and never waited for:
// many mail clients keep it running until they quit.
class MailHandoff : public QObject {
    Q_OBJECT

public:
    // Starts xdg-email; nullptr when it is missing or cannot be started. The
    // object reports finished() once and then deletes itself.
    static MailHandoff* start(const QString& attachmentPath, const QString& subject, const QString& body,
                              QObject* parent = nullptr);
    // The program and arguments start() runs.
    [[nodiscard]] static QStringList arguments(const QString& attachmentPath, const QString& subject,
                                               const QString& body);
    // Hand-offs started and not yet finished, in the whole program.
    [[nodiscard]] static int underWay();

    ~MailHandoff() override;

Q_SIGNALS:
    // sent: xdg-email exited with status 0.
    void finished(bool sent);

private:
    explicit MailHandoff(QObject* parent);

    QProcess* process;
};
