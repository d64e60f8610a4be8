#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/Strings.h"

// The device identity names this machine in backup file names, so it must
// come out the same on every run: it is the hardware address of one network
// interface chosen by a fixed rule, not of whichever the system lists first.

struct NetworkInterface {
    std::string name;
    int index = 0;                // the kernel's interface index
    std::vector<uint8_t> address; // hardware address; empty when it has none
    bool hasDevice = false;       // backed by hardware (/sys/class/net/NAME/device)
    bool isUp = false;
    bool isLoopback = false;
};

// Among interfaces with a non-zero 6-byte address (loopback skipped): those
// backed by a device, else those that are up, else any; within that group
// the lowest index. The position in the list, or nothing when none qualifies.
[[nodiscard]] std::optional<std::size_t> chooseIdentityInterface(const std::vector<NetworkInterface>& interfaces);

// "aa:bb:cc:dd:ee:ff" as sysfs writes it; nothing for other text.
[[nodiscard]] std::optional<std::vector<uint8_t>> parseHardwareAddress(std::string_view text);

// The first six bytes as 12 upper-case hex digits.
[[nodiscard]] nocase_wstring formatDeviceIdentity(const std::vector<uint8_t>& address);

// The interfaces listed under a sysfs "class/net" folder; unreadable entries
// are left out.
[[nodiscard]] std::vector<NetworkInterface> readNetworkInterfaces(const std::string& classNetFolder);

// The identity of the interface the rule chooses, or "Cannot generate a
// unique id or file name." when none qualifies.
[[nodiscard]] nocase_wstring deviceIdentityOf(const std::vector<NetworkInterface>& interfaces);
