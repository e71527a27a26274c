// Port lookup: the sysfs walk on a fixture tree, the port list that replaces it, and the
// numbers ports get.
#include <gtest/gtest.h>

#include <fstream>

#include "com_test_support.h"
#include "transport/com_port.h"

namespace fs = std::filesystem;
using comtest::ScopedEnv;
using comtest::TempDir;
using velmora::ComPortPath;

namespace {

const std::string kBus = "devices/pci0000:00/0000:00:14.0/usb1";

void WriteText(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text << "\n";
}

// A tree shaped like /sys: USB devices with their ids, and class/tty links to the ttys.
class SysfsTree {
public:
    explicit SysfsTree(const std::string& root) : root_(root) {
        fs::create_directories(root_ / "class" / "tty");
        UsbDevice(kBus, "1d6b", "0002");  // the root hub
    }

    void UsbDevice(const std::string& rel, const std::string& vid, const std::string& pid) {
        WriteText(root_ / rel / "idVendor", vid);
        WriteText(root_ / rel / "idProduct", pid);
    }

    // An ACM port: <device>/<iface>/tty/<name>, its device link pointing at the interface.
    void AcmTty(const std::string& deviceRel, const std::string& iface, const std::string& name) {
        const fs::path dir = root_ / deviceRel / iface / "tty" / name;
        fs::create_directories(dir);
        fs::create_directory_symlink("../../../" + iface, dir / "device");
        ClassLink(name, fs::path(deviceRel) / iface / "tty" / name);
    }

    // A USB serial converter port: <device>/<iface>/<name>/tty/<name>, device -> the port.
    void UsbSerialTty(const std::string& deviceRel, const std::string& iface, const std::string& name) {
        const fs::path port = root_ / deviceRel / iface / name;
        const fs::path dir = port / "tty" / name;
        fs::create_directories(dir);
        fs::create_directory_symlink("../../../" + name, dir / "device");
        ClassLink(name, fs::path(deviceRel) / iface / name / "tty" / name);
    }

    // A tty without a device behind it (virtual console) or with a non-USB one.
    void OtherTty(const std::string& name, bool withPlatformDevice) {
        const fs::path rel = withPlatformDevice ? fs::path("devices/platform/serial8250/tty") / name
                                                : fs::path("devices/virtual/tty") / name;
        fs::create_directories(root_ / rel);
        if (withPlatformDevice) fs::create_directory_symlink("../../../serial8250", root_ / rel / "device");
        ClassLink(name, rel);
    }

private:
    void ClassLink(const std::string& name, const fs::path& rel) {
        fs::create_directory_symlink(fs::path("../..") / rel, root_ / "class" / "tty" / name);
    }
    fs::path root_;
};

std::vector<std::string> PathsOf(const int* ports, int count) {
    std::vector<std::string> paths;
    for (int i = 0; i < count; ++i) paths.push_back(ComPortPath(static_cast<uint8_t>(ports[i] % 256)));
    return paths;
}

// Devices of both product ids, a foreign device, a hub, a converter, and ttys that are not
// USB ports at all.
void BuildMachine(SysfsTree& t) {
    t.UsbDevice(kBus + "/1-10", "2e4c", "0a1f");
    t.AcmTty(kBus + "/1-10", "1-10:1.0", "ttyACM0");
    t.UsbDevice(kBus + "/1-2", "2e4c", "0a1f");
    t.AcmTty(kBus + "/1-2", "1-2:1.0", "ttyACM1");
    t.AcmTty(kBus + "/1-2", "1-2:1.2", "ttyACM4");  // second port of the same device
    t.UsbDevice(kBus + "/1-3", "2E4C", "0A1E");     // ids in upper case are read as well
    t.AcmTty(kBus + "/1-3", "1-3:1.0", "ttyACM2");
    t.UsbDevice(kBus + "/1-1", "05e3", "0610");  // a hub; the device below it is ours
    t.UsbDevice(kBus + "/1-1/1-1.3", "2e4c", "0a1f");
    t.AcmTty(kBus + "/1-1/1-1.3", "1-1.3:1.0", "ttyACM3");
    t.UsbDevice(kBus + "/1-5", "2e4c", "0a1f");
    t.UsbSerialTty(kBus + "/1-5", "1-5:1.0", "ttyUSB0");
    t.UsbDevice(kBus + "/1-4", "1234", "0a1f");  // same product id, other vendor
    t.AcmTty(kBus + "/1-4", "1-4:1.0", "ttyACM5");
    t.OtherTty("tty0", false);
    t.OtherTty("ttyS0", true);
}

TEST(ComPortLookup, SysfsFindsThePortsOfEachProductInUsbPathOrder) {
    TempDir d;
    SysfsTree tree(d.path);
    BuildMachine(tree);

    int ports[100] = {};
    const int n1160 = velmora::FindComPortsInSysfs(0x0A1F, ports, 100, d.path);
    ASSERT_EQ(n1160, 5);
    EXPECT_EQ(PathsOf(ports, n1160), (std::vector<std::string>{"/dev/ttyACM3", "/dev/ttyACM1", "/dev/ttyACM4",
                                                                "/dev/ttyUSB0", "/dev/ttyACM0"}));
    const std::vector<int> first(ports, ports + n1160);

    int ports660[100] = {};
    ASSERT_EQ(velmora::FindComPortsInSysfs(0x0A1E, ports660, 100, d.path), 1);
    EXPECT_EQ(ComPortPath(static_cast<uint8_t>(ports660[0])), "/dev/ttyACM2");

    // The same ports keep their numbers; the capacity bounds what is stored.
    int again[2] = {};
    EXPECT_EQ(velmora::FindComPortsInSysfs(0x0A1F, again, 2, d.path), 2);
    EXPECT_EQ(again[0], first[0]);
    EXPECT_EQ(again[1], first[1]);
    EXPECT_EQ(velmora::FindComPortsInSysfs(0x0A1F, again, 0, d.path), 0);

    for (int p : first) {
        EXPECT_GE(p, 1);
        EXPECT_LE(p, 255);
    }
}

TEST(ComPortLookup, SysfsWithoutDeviceOrTreeIsMinusOne) {
    TempDir d;
    SysfsTree tree(d.path);
    BuildMachine(tree);
    int ports[10] = {};
    EXPECT_EQ(velmora::FindComPortsInSysfs(0x0A20, ports, 10, d.path), -1);
    EXPECT_EQ(velmora::FindComPortsInSysfs(0x0A1F, ports, 10, d.path + "/nothing-here"), -1);
}

TEST(ComPortLookup, ListKeepsOrderAndLeavesOutMissingPaths) {
    TempDir d;
    const std::string a = d.path + "/port-a", b = d.path + "/port-b", c = d.path + "/port-c";
    for (const auto& p : {a, b, c}) std::ofstream(p) << "";
    const std::string list = "0A1F=" + c + ";0a1e=" + b + "; 0a1F=" + d.path + "/unplugged ;0A1f=" + a +
                             ";0a1f=" + c + ";";

    int ports[10] = {};
    ASSERT_EQ(velmora::FindComPortsInList(0x0A1F, ports, 10, list), 2);
    EXPECT_EQ(PathsOf(ports, 2), (std::vector<std::string>{c, a}));  // given order, repeated path once
    ASSERT_EQ(velmora::FindComPortsInList(0x0A1E, ports, 10, list), 1);
    EXPECT_EQ(ComPortPath(static_cast<uint8_t>(ports[0])), b);
    EXPECT_EQ(velmora::FindComPortsInList(0x0A1F, ports, 1, list), 1);
    EXPECT_EQ(ComPortPath(static_cast<uint8_t>(ports[0])), c);

    // Entries of the product, none of them there now: no port, but the product is known.
    EXPECT_EQ(velmora::FindComPortsInList(0x0A1E, ports, 10, "0A1E=" + d.path + "/gone"), 0);
    EXPECT_EQ(velmora::FindComPortsInList(0x0A20, ports, 10, list), -1);
    EXPECT_EQ(velmora::FindComPortsInList(0x0A1F, ports, 10, ""), -1);
}

TEST(ComPortLookup, ListEntriesThatAreNotPidEqualsPathAreRejected) {
    std::vector<std::string> rejected;
    const auto entries =
        velmora::ParseComPortList("0a1f=/x/y; 0A1=/short ;zz1f=/nothex;0A1F=;/no/pid;0A1E = /with space ;;", &rejected);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].productId, 0x0A1F);
    EXPECT_EQ(entries[0].path, "/x/y");
    EXPECT_EQ(entries[1].productId, 0x0A1E);
    EXPECT_EQ(entries[1].path, "/with space");
    EXPECT_EQ(rejected, (std::vector<std::string>{"0A1=/short", "zz1f=/nothex", "0A1F=", "/no/pid"}));
}

TEST(ComPortLookup, VariableReplacesSysfsWhenSet) {
    TempDir d;
    SysfsTree tree(d.path);
    BuildMachine(tree);
    velmora::SetComSysfsRoot(d.path);
    const std::string port = d.path + "/emulated";
    std::ofstream(port) << "";
    int ports[10] = {};
    {
        ScopedEnv env(velmora::kComPortsVariable, std::nullopt);
        EXPECT_EQ(velmora::FindComPorts(0x0A1F, ports, 10), 5);
        EXPECT_EQ(ComPortPath(static_cast<uint8_t>(ports[0])), "/dev/ttyACM3");
    }
    {
        ScopedEnv env(velmora::kComPortsVariable, "0a1f=" + port);
        ASSERT_EQ(velmora::FindComPorts(0x0A1F, ports, 10), 1);
        EXPECT_EQ(ComPortPath(static_cast<uint8_t>(ports[0])), port);
        EXPECT_EQ(velmora::FindComPorts(0x0A1E, ports, 10), -1);  // sysfs has one, the list none
    }
    {
        ScopedEnv env(velmora::kComPortsVariable, "");
        EXPECT_EQ(velmora::FindComPorts(0x0A1F, ports, 10), -1);
    }
    velmora::SetComSysfsRoot("");
}

TEST(ComPortLookup, NumbersStayWithTheirPathsUntilAllAreGiven) {
    const int first = velmora::ComPortNumber("/numbers/a");
    ASSERT_GE(first, 1);
    EXPECT_EQ(velmora::ComPortNumber("/numbers/a"), first);
    EXPECT_EQ(ComPortPath(static_cast<uint8_t>(first)), "/numbers/a");
    EXPECT_EQ(ComPortPath(0), "");
    // Using up the table is done in a child process, so the other tests keep numbers.
    EXPECT_EXIT(
        {
            int last = first;
            for (int i = 0; last != 255; ++i) {
                last = velmora::ComPortNumber("/numbers/n" + std::to_string(i));
                if (last <= 0) std::exit(1);
            }
            if (velmora::ComPortNumber("/numbers/one-too-many") != 0) std::exit(2);
            if (velmora::ComPortNumber("/numbers/a") != first) std::exit(3);
            int ports[4] = {};
            // The path exists, but no number is left for it.
            if (velmora::FindComPortsInList(0x0A1F, ports, 4, "0A1F=/") != 0) std::exit(4);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
