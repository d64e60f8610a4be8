#include "engine/platform/UpdateRules.h"

#include <cstdlib>

#ifndef KORVELIN_UPDATE_HOST
#define KORVELIN_UPDATE_HOST "update.korvelin.example"
#endif

namespace {

constexpr std::string_view kVersionLabel = "Version::";
constexpr std::string_view kDownloadLabel = "Download::";

struct VersionParts {
    std::string_view first;
    std::string_view second;
    std::string_view third;
};

std::string_view trimmed(std::string_view text)
{
    constexpr std::string_view kSpace = " \t\r\n";
    const std::size_t start = text.find_first_not_of(kSpace);
    if (start == std::string_view::npos)
        return {};
    const std::size_t end = text.find_last_not_of(kSpace);
    return text.substr(start, end - start + 1);
}

// The value after label up to the next ";" (or the end), and the text after that ";".
std::string_view fieldValue(std::string_view text, std::string_view label, std::string_view& rest)
{
    const std::size_t at = text.find(label);
    if (at == std::string_view::npos) {
        rest = text;
        return {};
    }
    std::string_view value = text.substr(at + label.size());
    const std::size_t semicolon = value.find(';');
    rest = semicolon == std::string_view::npos ? std::string_view() : value.substr(semicolon + 1);
    return trimmed(value.substr(0, semicolon));
}

// Our own version: a missing part is "0".
VersionParts currentParts(std::string_view version)
{
    VersionParts parts{version, "0", "0"};
    const std::size_t dot = version.find('.');
    if (dot == std::string_view::npos)
        return parts;
    parts.first = version.substr(0, dot);
    const std::string_view rest = version.substr(dot + 1);
    const std::size_t secondDot = rest.find('.');
    parts.second = rest.substr(0, secondDot);
    if (secondDot != std::string_view::npos)
        parts.third = rest.substr(secondDot + 1);
    return parts;
}

// The server's version: where a dot is missing, the following parts are the
// whole remaining text ("1.0" is 1, 0, 0 and "2" is 2, 2, 2), as the service
// has always been read.
VersionParts serverParts(std::string_view version)
{
    VersionParts parts;
    const std::size_t dot = version.find('.');
    parts.first = version.substr(0, dot);
    const std::string_view rest = dot == std::string_view::npos ? version : version.substr(dot + 1);
    const std::size_t secondDot = rest.find('.');
    parts.second = rest.substr(0, secondDot);
    parts.third = secondDot == std::string_view::npos ? rest : rest.substr(secondDot + 1);
    return parts;
}

bool keptInQuery(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.'
           || c == '_' || c == '~' || c == '@';
}

std::string queryValue(std::string_view value)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : value) {
        if (keptInQuery(c)) {
            encoded += c;
        } else {
            const auto byte = static_cast<unsigned char>(c);
            encoded += '%';
            encoded += kHex[byte >> 4];
            encoded += kHex[byte & 0x0F];
        }
    }
    return encoded;
}

} // namespace

UpdateAnswer parseUpdateAnswer(std::string_view answer)
{
    // The answer is read as a C string: it ends at a NUL byte.
    answer = answer.substr(0, answer.find('\0'));
    UpdateAnswer result;
    if (answer.find(kVersionLabel) == std::string_view::npos)
        return result;
    std::string_view rest;
    result.hasVersion = true;
    result.version = std::string(fieldValue(answer, kVersionLabel, rest));
    std::string_view ignored;
    result.download = std::string(fieldValue(rest, kDownloadLabel, ignored));
    return result;
}

int compareVersions(std::string_view current, std::string_view server)
{
    if (server.empty())
        return 0;
    const VersionParts ours = currentParts(current);
    const VersionParts theirs = serverParts(server);
    // Each part is compared on its own: a smaller first part on the server
    // does not stop the later comparisons.
    if (ours.first < theirs.first)
        return 3;
    if (ours.second < theirs.second)
        return 2;
    if (ours.third < theirs.third)
        return 1;
    return 0;
}

std::string updateObjectName(std::string_view path, std::string_view email, std::string_view version,
                             std::string_view mac)
{
    return std::string(path) + "?key=&email=" + queryValue(email) + "&version=" + queryValue(version)
           + "&mac=" + queryValue(mac);
}

std::string updateServerAddress()
{
    const char* address = std::getenv("KORVELIN_UPDATE_SERVER");
    if (address && address[0] != '\0')
        return address;
    return KORVELIN_UPDATE_HOST;
}
