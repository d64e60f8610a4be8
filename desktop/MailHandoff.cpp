#include "desktop/MailHandoff.h"

#include <QProcess>
#include <QStandardPaths>

namespace {
const QString mailProgram = QStringLiteral("xdg-email");
int running = 0;
} // namespace

QStringList MailHandoff::arguments(const QString& attachmentPath, const QString& subject, const QString& body)
{
    // --utf8 first: the texts are UTF-8 whatever the locale, and without it
    // xdg-email converts them from the locale's character set, cutting a
    // name short at its first non-ASCII character in the C locale.
    return {QStringLiteral("--utf8"), QStringLiteral("--subject"), subject, QStringLiteral("--body"), body,
            QStringLiteral("--attach"), attachmentPath};
}

int MailHandoff::underWay()
{
    return running;
}

MailHandoff::MailHandoff(QObject* parent)
    : QObject(parent)
    , process(new QProcess)
{
}

MailHandoff::~MailHandoff()
{
    if (process->state() == QProcess::NotRunning) {
        delete process;
        return;
    }
    // The mail client outlives the window: the process is let go, never
    // killed (destroying a running QProcess would kill it).
    --running;
    process->disconnect();
}

MailHandoff* MailHandoff::start(const QString& attachmentPath, const QString& subject, const QString& body,
                                QObject* parent)
{
    const QString program = QStandardPaths::findExecutable(mailProgram);
    if (program.isEmpty() || attachmentPath.isEmpty())
        return nullptr;
    auto* handoff = new MailHandoff(parent);
    QProcess* process = handoff->process;
    // QProcess runs the program itself: no shell ever reads the texts.
    process->setProgram(program);
    process->setArguments(arguments(attachmentPath, subject, body));
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    connect(process, &QProcess::finished, handoff, [handoff, process](int code, QProcess::ExitStatus status) {
        --running;
        Q_EMIT handoff->finished(status == QProcess::NormalExit && code == 0);
        handoff->deleteLater();
    });
    process->start();
    if (!process->waitForStarted()) {
        delete handoff;
        return nullptr;
    }
    ++running;
    return handoff;
}
