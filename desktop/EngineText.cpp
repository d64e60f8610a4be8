#include "desktop/EngineText.h"

#include <QFile>
#include <QUrl>

#include "engine/ExceptionModule.h"

namespace {

constexpr char16_t kEscapeBase = 0xDC00;

// Length of the valid UTF-8 sequence at bytes[i] (0 when there is none there:
// overlong forms, surrogates and values past U+10FFFF are not valid).
std::size_t validSequence(const std::string& bytes, std::size_t i, char32_t& out)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
    const unsigned char first = byte(i);
    std::size_t length = 0;
    char32_t cp = 0;
    char32_t minimum = 0;
    if (first < 0x80) {
        out = first;
        return 1;
    }
    if ((first & 0xE0) == 0xC0) {
        length = 2, cp = first & 0x1F, minimum = 0x80;
    } else if ((first & 0xF0) == 0xE0) {
        length = 3, cp = first & 0x0F, minimum = 0x800;
    } else if ((first & 0xF8) == 0xF0) {
        length = 4, cp = first & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (i + length > bytes.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    out = cp;
    return length;
}

bool isEscapedByte(char32_t cp)
{
    return cp >= 0xDC80 && cp <= 0xDCFF;
}

} // namespace

namespace EngineText {

QString fromEngine(const std::string& bytes)
{
    QString text;
    text.reserve(static_cast<qsizetype>(bytes.size()));
    for (std::size_t i = 0; i < bytes.size();) {
        char32_t cp = 0;
        const std::size_t length = validSequence(bytes, i, cp);
        if (length == 0) {
            text.append(QChar(static_cast<char16_t>(kEscapeBase + static_cast<unsigned char>(bytes[i]))));
            ++i;
            continue;
        }
        if (QChar::requiresSurrogates(cp)) {
            text.append(QChar(QChar::highSurrogate(cp)));
            text.append(QChar(QChar::lowSurrogate(cp)));
        } else {
            text.append(QChar(static_cast<char16_t>(cp)));
        }
        i += length;
    }
    return text;
}

std::string toEngine(const QString& text)
{
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(text.size()));
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (isEscapedByte(c.unicode())) {
            bytes += static_cast<char>(c.unicode() - kEscapeBase);
            continue;
        }
        QString one(c);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            one.append(text.at(++i));
        bytes += one.toUtf8().toStdString(); // a lone surrogate becomes U+FFFD
    }
    return bytes;
}

QString localPath(const QUrl& url)
{
    // The encoded path keeps every byte the file system gave, valid UTF-8 or not.
    if (url.host().isEmpty() || url.host() == QLatin1String("localhost")) {
        const QByteArray bytes = QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
        return fromEngine(bytes.toStdString());
    }
    return fromEngine(QFile::encodeName(url.toLocalFile()).toStdString());
}

QStringList arguments(int argc, char** argv)
{
    QStringList list;
    for (int i = 0; i < argc; ++i)
        list.append(fromEngine(argv[i] ? std::string(argv[i]) : std::string()));
    return list;
}

QString forDisplay(const QString& text)
{
    QString shown = text;
    for (QChar& c : shown)
        if (isEscapedByte(c.unicode()))
            c = QChar::ReplacementCharacter;
    return shown;
}

QString failureText(const std::string& message, const std::string& cause)
{
    QString text = forDisplay(fromEngine(message));
    if (!cause.empty())
        text += QLatin1Char('\n') + forDisplay(fromEngine(cause));
    return text;
}

QString failureText(const ExceptionModule& error)
{
    return failureText(error.getMessage(), error.getCause());
}

} // namespace EngineText
