#include "desktop/InputRules.h"

#include <QFileInfo>

#include "desktop/EngineText.h"

namespace InputRules {

namespace {
const QString packageExtension = QStringLiteral("kzip");
constexpr int lastFreeNumber = 9999;
// The longest file name a Linux file system takes, in bytes.
constexpr std::size_t mostNameBytes = 255;

std::size_t bytesOf(const QString& text)
{
    return EngineText::toEngine(text).size();
}

// text shortened by whole characters until it takes at most room bytes.
QString fitted(QString text, std::size_t room)
{
    while (!text.isEmpty() && bytesOf(text) > room) {
        const bool pair = text.size() >= 2 && text.back().isLowSurrogate() && text.at(text.size() - 2).isHighSurrogate();
        text.chop(pair ? 2 : 1);
    }
    return text;
}
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
    // A long entry name still gives a name the file system takes, with room
    // for the number that makes it free (" (9999)").
    const std::size_t room = mostNameBytes - 1 - static_cast<std::size_t>(packageExtension.size()) - 7;
    return fitted(stem, room) + QLatin1Char('.') + packageExtension;
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
        const QString suffix = QStringLiteral(" (%1)%2").arg(number).arg(extension);
        const std::size_t suffixBytes = bytesOf(suffix);
        if (suffixBytes >= mostNameBytes)
            return {};
        const QString candidate = fitted(stem, mostNameBytes - suffixBytes) + suffix;
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
