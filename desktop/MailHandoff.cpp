#include "desktop/MailHandoff.h"

#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

namespace {
const QString mailProgram = QStringLiteral("xdg-email");
}

QStringList MailHandoff::arguments(const QString& attachmentPath, const QString& subject, const QString& body)
{
    // --utf8 first: the texts are UTF-8 whatever the locale, and without it
    // xdg-email converts them from the locale's character set, cutting a
    // name short at its first non-ASCII character in the C locale.
    return {QStringLiteral("--utf8"), QStringLiteral("--subject"), subject, QStringLiteral("--body"), body, QStringLiteral("--attach"),
            attachmentPath};
}

bool MailHandoff::send(const QString& attachmentPath, const QString& subject, const QString& body)
{
    const QString program = QStandardPaths::findExecutable(mailProgram);
    if (program.isEmpty() || attachmentPath.isEmpty())
        return false;
    // QProcess runs the program itself: no shell ever reads the texts.
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments(attachmentPath, subject, body));
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start();
    // The mail client may keep the hand-off open while its compose window is
    // up; the caller runs this off the GUI thread.
    if (!process.waitForStarted() || !process.waitForFinished(-1))
        return false;
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}
