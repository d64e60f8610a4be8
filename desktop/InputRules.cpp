#include "desktop/InputRules.h"

#include <QFileInfo>

#include "desktop/EngineText.h"

namespace InputRules {

namespace {
const QString packageExtension = QStringLiteral("kzip");
constexpr int lastFreeNumber = 9999;
bool isSafeInMail(uint c)
{
    switch (QChar::category(c)) {
    case QChar::Letter_Uppercase:
    case QChar::Letter_Lowercase:
    case QChar::Letter_Titlecase:
    case QChar::Letter_Modifier:
    case QChar::Letter_Other:
    case QChar::Mark_NonSpacing:
    case QChar::Mark_SpacingCombining:
    case QChar::Number_DecimalDigit:
        return true;
    default:
        return c == U' ' || c == U'.' || c == U'-' || c == U'_' || c == U'(' || c == U')';
    }
}

QString fromCharacters(const QList<uint>& characters)
{
    return QString::fromUcs4(reinterpret_cast<const char32_t*>(characters.constData()), characters.size());
}

qsizetype utf8Length(const QList<uint>& characters)
{
    return fromCharacters(characters).toUtf8().size();
}

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

QString mailAttachmentName(const QString& packageName)
{
    // Whole characters: a letter outside the first plane is one character,
    // and a lone surrogate (no character at all) is replaced like any other.
    QList<uint> characters = packageName.toUcs4();
    for (uint& c : characters)
        if (!isSafeInMail(c))
            c = U'_';
    const auto most = static_cast<qsizetype>(mostNameBytes);
    if (utf8Length(characters) > most) {
        // Too long: the stem is cut, character by character, and the extension kept.
        const QString safe = fromCharacters(characters);
        const qsizetype dot = safe.lastIndexOf(QLatin1Char('.'));
        QList<uint> extension = dot > 0 ? safe.mid(dot).toUcs4() : QList<uint>();
        if (utf8Length(extension) > most / 2)
            extension.clear();
        characters.resize(characters.size() - extension.size());
        while (!characters.isEmpty() && utf8Length(characters) + utf8Length(extension) > most)
            characters.removeLast();
        characters.append(extension);
    }
    const QString name = fromCharacters(characters);
    // "", "." and ".." name no file of their own.
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return QStringLiteral("MyFiles.kzip");
    return name;
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
