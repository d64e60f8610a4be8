#pragma once

#include <QString>

// Hands one e-mail to the user's mail client through xdg-email, which opens
// a compose window with the subject, the body and one attachment. The
// program is run directly, never through a shell.
class MailHandoff {
public:
    // true when xdg-email was found, ran and exited with status 0.
    [[nodiscard]] static bool send(const QString& attachmentPath, const QString& subject, const QString& body);
    // The program and arguments send() runs.
    [[nodiscard]] static QStringList arguments(const QString& attachmentPath, const QString& subject,
                                               const QString& body);
};
