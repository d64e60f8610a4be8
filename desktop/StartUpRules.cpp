#include "desktop/StartUpRules.h"

#include <QFileInfo>

namespace StartUpRules {

CommandLine scanArguments(const QStringList& argumentsAfterProgram)
{
    CommandLine line;
    const struct {
        const char* text;
        bool CommandLine::*flag;
    } switches[] = {
        {"/x", &CommandLine::extractChosen}, {"/xh", &CommandLine::extractHere},
        {"/xv", &CommandLine::extractToVault}, {"/sf", &CommandLine::sendToFolder},
        {"/sd", &CommandLine::sendToDropbox}, {"/se", &CommandLine::sendByEmail},
        {"/sv", &CommandLine::addToVault}, {"/w", &CommandLine::fileCreator},
        {"/sh", &CommandLine::shell}, {"/v", &CommandLine::verbose},
        {"/r", &CommandLine::restore},
    };
    for (const QString& argument : argumentsAfterProgram) {
        bool matched = false;
        for (const auto& known : switches) {
            if (argument == QLatin1String(known.text)) {
                line.*known.flag = true;
                matched = true;
                break;
            }
        }
        // An empty argument names no file; it must not wipe a path given before it.
        if (!matched && !argument.isEmpty())
            line.path = argument;
    }
    return line;
}

StartFlow chooseFlow(const CommandLine& line)
{
    const bool hasPath = !line.path.isEmpty();
    const struct {
        bool given;
        StartFlow flow;
    } shellSwitches[] = {
        {line.extractChosen, StartFlow::ExtractChosen}, {line.extractHere, StartFlow::ExtractHere},
        {line.extractToVault, StartFlow::ExtractToVault}, {line.sendToFolder, StartFlow::SendToFolder},
        {line.addToVault, StartFlow::AddToVault}, {line.sendToDropbox, StartFlow::SendToDropbox},
        {line.sendByEmail, StartFlow::SendByEmail},
    };
    for (const auto& shellSwitch : shellSwitches) {
        if (shellSwitch.given)
            return hasPath ? shellSwitch.flow : StartFlow::Refused;
    }
    if (hasPath)
        return StartFlow::OpenPackage;
    if (line.restore)
        return StartFlow::Refused;
    if (line.fileCreator)
        return StartFlow::FileCreator;
    return StartFlow::Normal;
}

QString sendTask(int target, const QString& fileName)
{
    switch (target) {
    case 1:
        return QStringLiteral("Sending %1 to Dropbox").arg(fileName);
    case 2:
        return QStringLiteral("Packing %1 for an e-mail").arg(fileName);
    default:
        return QStringLiteral("Saving %1 as a KORVELIN file").arg(fileName);
    }
}

int sendTarget(StartFlow flow)
{
    switch (flow) {
    case StartFlow::SendToFolder:
        return 0;
    case StartFlow::SendToDropbox:
        return 1;
    case StartFlow::SendByEmail:
        return 2;
    default:
        return -1;
    }
}

QString extractHereFolder(const QString& absolutePackagePath)
{
    const QFileInfo package(absolutePackagePath);
    const QString fileName = package.fileName();
    const qsizetype firstDot = fileName.indexOf(u'.');
    // Without a dot the folder would take the package's own name.
    QString name = firstDot < 0 ? fileName + QStringLiteral(" files") : fileName.left(firstDot);
    if (name.isEmpty()) {
        const qsizetype lastDot = fileName.lastIndexOf(u'.');
        name = lastDot > 0 ? fileName.left(lastDot) : QString();
    }
    if (name.isEmpty())
        name = QStringLiteral("KORVELIN File");
    QString folder = package.path();
    if (!folder.endsWith(u'/'))
        folder += u'/';
    return folder + name;
}

bool isVaultBackup(const QString& path)
{
    return path.endsWith(QLatin1String(".kzipbkp"), Qt::CaseInsensitive);
}

Welcome chooseWelcome(const WelcomeState& state)
{
    if (state.vaultPasswordEmpty)
        return state.firstLaunch || state.normalStart || state.emailEmpty ? Welcome::PasswordAndEmail
                                                                           : Welcome::None;
    return state.emailEmpty ? Welcome::EmailOnly : Welcome::None;
}

} // namespace StartUpRules
