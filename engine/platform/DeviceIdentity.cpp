#include "engine/platform/DeviceIdentity.h"

#include "engine/ExceptionModule.h"
#include "engine/platform/FileSystem.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <net/if.h>
#include <sys/stat.h>
#include <tuple>

namespace {

constexpr std::size_t kIdentityBytes = 6;
constexpr const char* kClassNetFolder = "/sys/class/net";

int rankOf(const NetworkInterface& candidate)
{
    if (candidate.hasDevice)
        return 0;
    return candidate.isUp ? 1 : 2;
}

bool qualifies(const NetworkInterface& candidate)
{
    if (candidate.isLoopback || candidate.address.size() != kIdentityBytes)
        return false;
    return std::any_of(candidate.address.begin(), candidate.address.end(), [](uint8_t b) { return b != 0; });
}

std::optional<std::string> readSmallFile(const std::string& path)
{
    std::ifstream in(path);
    if (!in)
        return std::nullopt;
    std::string line;
    if (!std::getline(in, line))
        return std::nullopt;
    return line;
}

std::optional<long> parseNumber(const std::optional<std::string>& text, int base)
{
    if (!text)
        return std::nullopt;
    std::string_view digits = *text;
    if (base == 16 && digits.substr(0, 2) == "0x")
        digits.remove_prefix(2);
    long value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (error != std::errc() || end != digits.data() + digits.size() || digits.empty())
        return std::nullopt;
    return value;
}

} // namespace

std::optional<std::size_t> chooseIdentityInterface(const std::vector<NetworkInterface>& interfaces)
{
    std::optional<std::size_t> best;
    for (std::size_t i = 0; i < interfaces.size(); ++i) {
        const NetworkInterface& candidate = interfaces[i];
        if (!qualifies(candidate))
            continue;
        if (!best
            || std::make_tuple(rankOf(candidate), candidate.index, candidate.name)
                   < std::make_tuple(rankOf(interfaces[*best]), interfaces[*best].index, interfaces[*best].name))
            best = i;
    }
    return best;
}

std::optional<std::vector<uint8_t>> parseHardwareAddress(std::string_view text)
{
    std::vector<uint8_t> bytes;
    std::size_t pos = 0;
    while (pos < text.size()) {
        if (!bytes.empty()) {
            if (text[pos] != ':')
                return std::nullopt;
            ++pos;
        }
        if (pos + 2 > text.size())
            return std::nullopt;
        unsigned value = 0;
        const auto [end, error] = std::from_chars(text.data() + pos, text.data() + pos + 2, value, 16);
        if (error != std::errc() || end != text.data() + pos + 2)
            return std::nullopt;
        bytes.push_back(static_cast<uint8_t>(value));
        pos += 2;
    }
    return bytes;
}

nocase_wstring formatDeviceIdentity(const std::vector<uint8_t>& address)
{
    char text[2 * kIdentityBytes + 1] = {};
    const int written = std::snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X", address.at(0),
                                      address.at(1), address.at(2), address.at(3), address.at(4), address.at(5));
    if (written != static_cast<int>(2 * kIdentityBytes))
        throw ExceptionModule(L"Cannot generate a unique id or file name.", L"");
    return toWide(text);
}

std::vector<NetworkInterface> readNetworkInterfaces(const std::string& classNetFolder)
{
    std::vector<nocase_wstring> names;
    listFolder(toWide(classNetFolder), names);

    std::vector<NetworkInterface> interfaces;
    for (const nocase_wstring& wideName : names) {
        NetworkInterface entry;
        entry.name = toNarrow(wideName);
        const std::string folder = classNetFolder + "/" + entry.name;
        const auto index = parseNumber(readSmallFile(folder + "/ifindex"), 10);
        const auto flags = parseNumber(readSmallFile(folder + "/flags"), 16);
        const auto addressText = readSmallFile(folder + "/address");
        if (!index || !flags || !addressText)
            continue;
        entry.index = static_cast<int>(*index);
        entry.address = parseHardwareAddress(*addressText).value_or(std::vector<uint8_t>{});
        entry.isUp = (*flags & IFF_UP) != 0;
        entry.isLoopback = (*flags & IFF_LOOPBACK) != 0;
        struct stat info {};
        entry.hasDevice = lstat((folder + "/device").c_str(), &info) == 0;
        interfaces.push_back(std::move(entry));
    }
    return interfaces;
}

nocase_wstring deviceIdentityOf(const std::vector<NetworkInterface>& interfaces)
{
    const auto chosen = chooseIdentityInterface(interfaces);
    if (!chosen)
        throw ExceptionModule(L"Cannot generate a unique id or file name.", systemErrorText(ENODEV));
    return formatDeviceIdentity(interfaces[*chosen].address);
}

nocase_wstring getDeviceIdentity()
{
    std::vector<NetworkInterface> interfaces;
    try {
        interfaces = readNetworkInterfaces(kClassNetFolder);
    } catch (const ExceptionModule& error) {
        throw ExceptionModule(L"Cannot generate a unique id or file name.", toWide(error.getCause()));
    }
    return deviceIdentityOf(interfaces);
}
