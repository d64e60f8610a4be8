#include "desktop/UpdateCheckPolicy.h"

#include <QDir>
#include <QFile>
#include <QStringList>

namespace UpdateCheckPolicy {

namespace {

bool saysOff(const QString& value)
{
    const QString word = value.trimmed().toLower();
    return word == QLatin1String("off") || word == QLatin1String("false") || word == QLatin1String("no") ||
           word == QLatin1String("0");
}

} // namespace

bool userAllows(const QString& storedSetting)
{
    return storedSetting != QLatin1String("false");
}

QStringList systemFiles()
{
    QString folders = qEnvironmentVariable("XDG_CONFIG_DIRS");
    if (folders.isEmpty())
        folders = QStringLiteral("/etc/xdg");
    QStringList files;
    for (const QString& folder : folders.split(QLatin1Char(':'), Qt::SkipEmptyParts))
        files.append(QDir(folder).filePath(QString::fromLatin1(systemFileName)));
    return files;
}

bool systemAllows()
{
    const QString variable = qEnvironmentVariable(environmentSwitch);
    if (!variable.isEmpty() && variable != QLatin1String("0"))
        return false;
    for (const QString& path : systemFiles()) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
            continue;
        while (!file.atEnd()) {
            const QString line = QString::fromUtf8(file.readLine()).trimmed();
            const qsizetype equals = line.indexOf(QLatin1Char('='));
            if (equals < 0 || line.startsWith(QLatin1Char('#')))
                continue;
            if (line.left(equals).trimmed() == QLatin1String("UpdateCheck") && saysOff(line.mid(equals + 1)))
                return false;
        }
    }
    return true;
}

} // namespace UpdateCheckPolicy
