#include "engine/ExceptionModule.h"
#include "engine/platform/DeviceIdentity.h"
#include "engine/platform/FileSystem.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

NetworkInterface makeInterface(const std::string& name, int index, std::vector<uint8_t> address, bool hasDevice,
                               bool isUp, bool isLoopback = false)
{
    NetworkInterface entry;
    entry.name = name;
    entry.index = index;
    entry.address = std::move(address);
    entry.hasDevice = hasDevice;
    entry.isUp = isUp;
    entry.isLoopback = isLoopback;
    return entry;
}

const std::vector<uint8_t> kZero{0, 0, 0, 0, 0, 0};
const std::vector<uint8_t> kWired{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
const std::vector<uint8_t> kWireless{0xA4, 0xC3, 0xF0, 0x85, 0xAC, 0x2D};
const std::vector<uint8_t> kBridge{0x02, 0x42, 0xAC, 0x11, 0x00, 0x01};

std::string chosenName(const std::vector<NetworkInterface>& interfaces)
{
    const auto chosen = chooseIdentityInterface(interfaces);
    return chosen ? interfaces[*chosen].name : "(none)";
}

} // namespace

TEST(DeviceIdentity, FormatsSixBytesAsUpperCaseHex)
{
    EXPECT_EQ(toNarrow(formatDeviceIdentity(kWired)), "001A2B3C4D5E");
    EXPECT_EQ(toNarrow(formatDeviceIdentity(kWireless)), "A4C3F085AC2D");
    EXPECT_EQ(toNarrow(formatDeviceIdentity({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x12})), "FFFFFFFFFFFF");
}

TEST(DeviceIdentity, ParsesSysfsAddresses)
{
    EXPECT_EQ(parseHardwareAddress("00:1a:2b:3c:4d:5e"), kWired);
    EXPECT_EQ(parseHardwareAddress("A4:C3:F0:85:AC:2D"), kWireless);
    EXPECT_EQ(parseHardwareAddress(""), std::vector<uint8_t>{});
    EXPECT_EQ(parseHardwareAddress("00:01:02:03:04:05:06:07")->size(), 8u);
    EXPECT_FALSE(parseHardwareAddress("00:1a:2b:3c:4d:5"));
    EXPECT_FALSE(parseHardwareAddress("00-1a-2b-3c-4d-5e"));
    EXPECT_FALSE(parseHardwareAddress("0g:1a:2b:3c:4d:5e"));
    EXPECT_FALSE(parseHardwareAddress("001a:2b:3c:4d:5e"));
}

TEST(DeviceIdentity, ChoosesAStableInterface)
{
    struct Case {
        const char* what;
        std::vector<NetworkInterface> interfaces;
        const char* expected;
    };
    const Case cases[] = {
        {"only loopback", {makeInterface("lo", 1, kZero, false, true, true)}, "(none)"},
        {"nothing", {}, "(none)"},
        {"loopback with an address is still skipped",
         {makeInterface("lo", 1, kWired, false, true, true)},
         "(none)"},
        {"all-zero and odd-length addresses are skipped",
         {makeInterface("zero", 2, kZero, true, true), makeInterface("ib0", 3, std::vector<uint8_t>(20, 1), true, true),
          makeInterface("tun0", 4, {}, false, true)},
         "(none)"},
        {"a device beats an up virtual interface with a lower index",
         {makeInterface("lo", 1, kZero, false, true, true), makeInterface("docker0", 2, kBridge, false, true),
          makeInterface("wlan0", 5, kWireless, true, false)},
         "wlan0"},
        {"lowest index among devices, whatever the list order",
         {makeInterface("wlan0", 7, kWireless, true, true), makeInterface("eth0", 3, kWired, true, false)},
         "eth0"},
        {"without devices, up interfaces come first",
         {makeInterface("veth1", 2, kWired, false, false), makeInterface("br0", 9, kBridge, false, true)},
         "br0"},
        {"without devices or up interfaces, any",
         {makeInterface("b", 6, kWired, false, false), makeInterface("a", 4, kBridge, false, false)},
         "a"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(chosenName(c.interfaces), c.expected) << c.what;

    EXPECT_EQ(toNarrow(deviceIdentityOf({makeInterface("eth0", 2, kWired, true, true)})), "001A2B3C4D5E");
    try {
        (void)deviceIdentityOf({makeInterface("lo", 1, kZero, false, true, true)});
        ADD_FAILURE() << "an identity without any interface";
    } catch (const ExceptionModule& error) {
        EXPECT_EQ(error.getMessage(), "Cannot generate a unique id or file name.");
    }
}

TEST(DeviceIdentity, ReadsInterfacesFromASysfsTree)
{
    const std::string net = testsupport::makeScratchFolder("class-net");
    const auto addInterface = [&net](const std::string& name, const std::string& index, const std::string& flags,
                                     const std::string& address, bool hasDevice) {
        testsupport::writeFile(net + "/" + name + "/ifindex", index + "\n");
        testsupport::writeFile(net + "/" + name + "/flags", flags + "\n");
        testsupport::writeFile(net + "/" + name + "/address", address + "\n");
        if (hasDevice)
            std::filesystem::create_directory(net + "/" + name + "/device");
    };
    addInterface("lo", "1", "0x9", "00:00:00:00:00:00", false);
    addInterface("docker0", "2", "0x1003", "02:42:ac:11:00:01", false);
    addInterface("enp3s0", "4", "0x1002", "00:1a:2b:3c:4d:5e", true);
    addInterface("tun0", "5", "0x1091", "", false);
    std::filesystem::create_directory(net + "/broken"); // no files: left out

    auto interfaces = readNetworkInterfaces(net);
    ASSERT_EQ(interfaces.size(), 4u);
    std::sort(interfaces.begin(), interfaces.end(),
              [](const NetworkInterface& a, const NetworkInterface& b) { return a.index < b.index; });
    EXPECT_TRUE(interfaces[0].isLoopback);
    EXPECT_TRUE(interfaces[1].isUp);
    EXPECT_FALSE(interfaces[1].hasDevice);
    EXPECT_FALSE(interfaces[2].isUp);
    EXPECT_TRUE(interfaces[2].hasDevice);
    EXPECT_EQ(interfaces[2].address, kWired);
    EXPECT_TRUE(interfaces[3].address.empty());
    EXPECT_EQ(toNarrow(deviceIdentityOf(interfaces)), "001A2B3C4D5E");
}

TEST(DeviceIdentity, ThisMachineGivesTheSameIdentityEveryTime)
{
    nocase_wstring first;
    try {
        first = getDeviceIdentity();
    } catch (const ExceptionModule& error) {
        GTEST_SKIP() << "no network interface with a hardware address: " << error.getMessage();
    }
    const std::string text = toNarrow(first);
    EXPECT_EQ(text.size(), 12u);
    EXPECT_EQ(text.find_first_not_of("0123456789ABCDEF"), std::string::npos) << text;
    EXPECT_EQ(toNarrow(getDeviceIdentity()), toNarrow(first));
}
