#include "desktop/InputRules.h"

#include <QFileInfo>

namespace InputRules {

namespace {
const QString packageExtension = QStringLiteral("kzip");
constexpr int lastFreeNumber = 9999;
} // namespace

QString withPackageExtension(const QString& name)
{
    // The last dot-separated section decides, exactly and case-sensitively.
    const QString lastSection = name.section(QLatin1Char('.'), -1);
    if (name.contains(QLatin1Char('.')) && lastSection == packageExtension)
        return name;
    return name + QLatin1Char('.') + packageExtension;
}

QString defaultPackageName(const QString& firstEntryName)
{
    const qsizetype dot = firstEntryName.indexOf(QLatin1Char('.'));
    const QString stem = dot < 0 ? firstEntryName : firstEntryName.left(dot);
    return stem + QLatin1Char('.') + packageExtension;
}

QString freeFileName(const QString& folder, const QString& name)
{
    const QString base = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    if (!QFileInfo::exists(base + name) && !QFileInfo(base + name).isSymLink())
        return name;
    // "photo.kzip" -> "photo (2).kzip": the number goes before the last extension.
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString stem = dot > 0 ? name.left(dot) : name;
    const QString extension = dot > 0 ? name.mid(dot) : QString();
    for (int number = 2; number <= lastFreeNumber; ++number) {
        const QString candidate = QStringLiteral("%1 (%2)%3").arg(stem).arg(number).arg(extension);
        if (!QFileInfo::exists(base + candidate) && !QFileInfo(base + candidate).isSymLink())
            return candidate;
    }
    return {};
}

Location splitLocation(const QString& text)
{
    const qsizetype slash = text.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return {QString(), text};
    // "/report.kzip" lies in the root folder.
    return {slash == 0 ? QStringLiteral("/") : text.left(slash), text.mid(slash + 1)};
}

bool looksLikeEmailAddress(const QString& text)
{
    // "*@*.*" as a whole: an at sign, and a dot somewhere after it.
    const qsizetype at = text.indexOf(QLatin1Char('@'));
    return at >= 0 && text.lastIndexOf(QLatin1Char('.')) > at;
}

} // namespace InputRules
