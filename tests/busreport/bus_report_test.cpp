// The bus report of sysfs-shaped fixture trees: line formats, levels, the driver column,
// error lines, the device count and the cut of a report that does not fit.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sysfs_fixture.h"
#include "transport/usb_bus_report.h"

namespace busreport_test {
namespace {

const std::string kHead = "   USB bus:\r\n";
const std::string kRootHubLine = "     xHCI Host Controller->RootHub (4 ports)" + std::string(39, ' ') +
                                 "(\\kernel/drivers/usb/host/xhci-pci.ko.xz\r\n";
const std::string kAcmColumn = "(\\kernel/drivers/usb/class/cdc-acm.ko.xz  rev.1.2.3.0)\r\n";

std::string Foot(int n) { return "   " + std::to_string(n) + " devices connected to USB\r\n"; }

std::vector<std::string> Lines(const std::string& report) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < report.size()) {
        const size_t end = report.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(report.substr(start));  // a line without its end: always a fault
            break;
        }
        lines.push_back(report.substr(start, end + 2 - start));
        start = end + 2;
    }
    return lines;
}

// A bus as a PC has it: an xHCI controller with its driver in a loadable module, the hub
// driver built into the kernel, the serial driver in a module that carries a version.
class BusReport : public ::testing::Test {
protected:
    BusReport() {
        sysfs.Driver("pci", "xhci_hcd", "xhci_pci");
        sysfs.Driver("usb", "hub", "usbcore");
        sysfs.Driver("usb", "cdc_acm", "cdc_acm", "1.2.3-k");
        sysfs.ModuleList("modules.dep",
                         "kernel/drivers/usb/host/xhci-pci.ko.xz: kernel/drivers/usb/host/xhci-hcd.ko.xz\n"
                         "kernel/drivers/usb/class/cdc-acm.ko.xz:\n");
        sysfs.ModuleList("modules.builtin", "kernel/drivers/usb/core/usbcore.ko\n");
        controller = sysfs.Controller("pci0000:00/0000:00:14.0", "xhci_hcd");
    }

    static FakeDevice Norvik(const std::string& driver = "cdc_acm") {
        FakeDevice d;
        d.product = "Norvik 1150";
        d.driver = driver;
        return d;
    }

    FakeSysfs sysfs;
    fs::path controller;
};

TEST(BusReportEmpty, NoControllerGivesTheTwoLines) {
    FakeSysfs sysfs;
    for (const std::string& root : {sysfs.Root(), sysfs.Root() + "/missing"}) {
        std::vector<char> buffer(velmora::kUsbBusReportSize, 'x');
        EXPECT_EQ(velmora::BuildUsbBusReport(buffer.data(), root), 0);
        EXPECT_STREQ(buffer.data(), "   USB bus:\r\n   0 devices connected to USB\r\n");
    }
}

TEST(BusReportEmpty, RealBusIsWalkedCleanly) {
    std::vector<char> buffer(velmora::kUsbBusReportSize, 'x');
    const int n = velmora::BuildUsbBusReport(buffer.data());
    const std::string report(buffer.data());
    EXPECT_GE(n, 0);
    EXPECT_LT(report.size(), velmora::kUsbBusReportSize);
    EXPECT_EQ(report.rfind(kHead, 0), 0u);
    EXPECT_TRUE(report.ends_with(Foot(n))) << report;
}

TEST_F(BusReport, DeviceOnRootHubPort) {
    const fs::path usb1 = sysfs.RootHub(controller, 1, 4);
    sysfs.Device(usb1, 3, Norvik());
    int n = -1;
    const std::string report = Report(sysfs, &n);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(report, kHead + kRootHubLine + "      [Port3] -> Norvik 1150   (2E4C/0A1F)  rev.:2.0" +
                          std::string(31, ' ') + kAcmColumn + Foot(1));

    // Kernels without port folders: the device is found by its name below the hub.
    fs::remove_all(usb1 / "1-0:1.0");
    EXPECT_EQ(Report(sysfs), report);

    // The environment names the bus of the library's own report.
    ::setenv("VELMORA_USB_DEVICES", sysfs.Root().c_str(), 1);
    std::vector<char> buffer(velmora::kUsbBusReportSize);
    EXPECT_EQ(velmora::BuildUsbBusReport(buffer.data()), 1);
    ::unsetenv("VELMORA_USB_DEVICES");
    EXPECT_EQ(std::string(buffer.data()), report);
}

TEST_F(BusReport, ControllersInBusOrderWithTheirRootHubs) {
    // An xHCI controller has a USB 2 and a USB 3 root hub; bus 10 comes after bus 2.
    const fs::path usb2 = sysfs.RootHub(controller, 2, 2);
    sysfs.RootHub(controller, 1, 4);
    const fs::path other = sysfs.Controller("pci0000:00/0000:00:1d.0", "xhci_hcd");
    sysfs.RootHub(other, 10, 1, "EHCI Host Controller");
    FakeDevice fast = Norvik();
    fast.bcdUSB = 0x0320;
    sysfs.Device(usb2, 1, fast);
    int n = -1;
    const std::vector<std::string> lines = Lines(Report(sysfs, &n));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[1], kRootHubLine);
    EXPECT_EQ(lines[2].substr(0, 45), "     xHCI Host Controller->RootHub (2 ports) ");
    EXPECT_EQ(lines[3].substr(0, 54), "      [Port1] -> Norvik 1150   (2E4C/0A1F)  rev.:3.20 ");
    EXPECT_EQ(lines[4].substr(0, 45), "     EHCI Host Controller->RootHub (1 ports) ");
    EXPECT_EQ(n, 1);
}

TEST_F(BusReport, ExternalHubAndItsPortsGoDeeper) {
    const fs::path usb1 = sysfs.RootHub(controller, 1, 4);
    FakeDevice hubDevice;
    hubDevice.idVendor = 0x05E3;
    hubDevice.idProduct = 0x0610;
    hubDevice.bcdUSB = 0x0210;
    hubDevice.deviceClass = 9;
    hubDevice.product = "USB2.0 Hub";
    hubDevice.driver = "hub";
    hubDevice.maxchild = 4;
    const fs::path hub = sysfs.Device(usb1, 1, hubDevice);
    sysfs.Device(hub, 2, Norvik());
    sysfs.Device(usb1, 2, Norvik());
    int n = -1;
    const std::string report = Report(sysfs, &n);
    EXPECT_EQ(n, 3);  // the hub counts as a connected device
    EXPECT_EQ(report, kHead + kRootHubLine +
                          // level 3
                          "      [Port1] -> USB2.0 Hub (4 ports)" + std::string(46, ' ') +
                          "(\\kernel/drivers/usb/core/usbcore.ko\r\n" +
                          // level 4
                          "        [Port2] -> Norvik 1150   (2E4C/0A1F)  rev.:2.0" + std::string(29, ' ') +
                          kAcmColumn +
                          // back to level 2
                          "      [Port2] -> Norvik 1150   (2E4C/0A1F)  rev.:2.0" + std::string(31, ' ') +
                          kAcmColumn + Foot(3));
}

TEST_F(BusReport, FailedEnumerationShowsAsUnknownDevice) {
    const fs::path usb1 = sysfs.RootHub(controller, 1, 4);
    FakeDevice failed;
    failed.idProduct = 0x7FFE;
    failed.configuration = "";  // the device never got a configuration
    sysfs.Device(usb1, 2, failed);
    int n = -1;
    const std::string report = Report(sysfs, &n);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(report, kHead + kRootHubLine + "!E Unknown problem in GetDriverKeyName (no driver installed) !!\r\n" +
                          "      [Port2] !Error Enum: Unknown device   (2E4C/7FFE)  rev.:2.0\r\n" + Foot(0));
}

TEST_F(BusReport, PortStuckInEnumerationWithoutDevice) {
    const fs::path usb1 = sysfs.RootHub(controller, 1, 4);
    sysfs.Write(sysfs.PortFolder(usb1, 4) / "state", "default\n");
    // The device has no ids to show: only the driver lookup reports the port.
    EXPECT_EQ(Report(sysfs),
              kHead + kRootHubLine + "!E Unknown problem in GetDriverKeyName (no driver installed) !!\r\n" + Foot(0));
}

TEST_F(BusReport, DriverLookupFailures) {
    const fs::path usb1 = sysfs.RootHub(controller, 1, 4);
    sysfs.Device(usb1, 3, Norvik(""));  // nothing bound to the interface
    const fs::path broken = sysfs.Device(usb1, 4, Norvik(""));
    sysfs.Write(broken / "1-4:1.0" / "driver", "not a link");  // a driver entry that cannot be read
    int n = -1;
    const std::string report = Report(sysfs, &n);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(report, kHead + kRootHubLine + "!E Unknown problem in GetDriverKeyName (no driver installed) !!\r\n" +
                          "      [Port3] -> Norvik 1150   (2E4C/0A1F)  rev.:2.0\r\n" +
                          "!E Unknown problem in GetDriverKeyName !!\r\n" +
                          "      [Port4] -> Norvik 1150   (2E4C/0A1F)  rev.:2.0\r\n" + Foot(2));
}

TEST_F(BusReport, DriverColumnForms) {
    const fs::path usb1 = sysfs.RootHub(controller, 1, 6);
    sysfs.Driver("usb", "usb-storage", "usb_storage");  // loadable, no version
    sysfs.Driver("usb", "ftdi_sio", "ftdi_sio", "40000.1");
    sysfs.Driver("usb", "usbfs");                          // built in, no module entry
    sysfs.Driver("usb", "usbhid", "usbhid", "v2");       // a version that is no number
    sysfs.ModuleList("modules.dep",
                     "kernel/drivers/usb/host/xhci-pci.ko.xz:\nkernel/drivers/usb/storage/usb-storage.ko.xz:\n"
                     "kernel/drivers/usb/serial/ftdi_sio.ko:\n");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"usb-storage", "(\\kernel/drivers/usb/storage/usb-storage.ko.xz\r\n"},
        {"ftdi_sio", "(\\kernel/drivers/usb/serial/ftdi_sio.ko  rev.40000.1.0.0)\r\n"},
        {"usbfs", "(\\usbfs\r\n"},
        {"usbhid", "(\\usbhid\r\n"},  // not in the module lists: its module name
    };
    for (size_t i = 0; i < cases.size(); ++i) sysfs.Device(usb1, static_cast<int>(i) + 1, Norvik(cases[i].first));
    const std::vector<std::string> lines = Lines(Report(sysfs));
    ASSERT_EQ(lines.size(), cases.size() + 3);
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].first);
        EXPECT_EQ(lines[i + 2].find("(\\"), 83u);
        EXPECT_EQ(lines[i + 2].substr(83), cases[i].second);
    }
}

TEST_F(BusReport, HubErrorLines) {
    // A controller without a driver: its root hub line has no driver column.
    const fs::path bare = sysfs.Controller("platform/dwc2.0", "");
    sysfs.RootHub(bare, 1, 2, "DWC OTG Controller");
    // A root hub whose port count cannot be read.
    const fs::path usb2 = sysfs.RootHub(controller, 2, 2);
    sysfs.Write(usb2 / "maxchild", "many\n");
    // A root hub entry that leads nowhere.
    sysfs.Link(fs::path(sysfs.Root()) / "usb3", sysfs.Base() / "sys/devices/gone/usb3");
    // A hub that does not say how many ports it has: it cannot be reached as a hub.
    const fs::path usb4 = sysfs.RootHub(controller, 4, 1);
    FakeDevice hubDevice;
    hubDevice.idProduct = 0x7FF0;
    hubDevice.deviceClass = 9;
    hubDevice.driver = "hub";
    sysfs.Device(usb4, 1, hubDevice);
    int n = -1;
    const std::string report = Report(sysfs, &n);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(report, kHead + "!E Unknown problem in GetHCDDriverKeyName !!\r\n" +
                          "     DWC OTG Controller->RootHub (2 ports)\r\n" +
                          // bus 2 and bus 4 belong to one controller
                          "!E Unknown problem in EnumerateHub !!\r\n" +
                          "     xHCI Host Controller->RootHub (1 ports)" + std::string(39, ' ') +
                          "(\\kernel/drivers/usb/host/xhci-pci.ko.xz\r\n" +
                          "!E Unknown problem in GetExternalHubName !!\r\n" +
                          "      [Port1] -> Unknown device   (2E4C/7FF0)  rev.:2.0" + std::string(28, ' ') +
                          "(\\kernel/drivers/usb/core/usbcore.ko\r\n" +
                          // bus 3
                          "!E Unknown problem in GetRootHubName !!\r\n" + Foot(1));
}

TEST_F(BusReport, LoopingTreeEnds) {
    const fs::path usb1 = sysfs.RootHub(controller, 1, 1);
    sysfs.Link(sysfs.PortFolder(usb1, 1) / "device", usb1);  // the port leads back to its own hub
    const std::string report = Report(sysfs);
    EXPECT_NE(report.find("!E Unknown problem in EnumerateHub !!\r\n"), std::string::npos) << report;
    EXPECT_TRUE(report.ends_with(Foot(1)));
}

TEST_F(BusReport, DeviceStringsCannotBreakLines) {
    const fs::path usb1 = sysfs.RootHub(controller, 1, 2);
    FakeDevice odd = Norvik();
    odd.product = "Line\rbreak";
    sysfs.Device(usb1, 1, odd);
    FakeDevice longName = Norvik();
    longName.product = std::string(600, 'N');
    sysfs.Device(usb1, 2, longName);
    const std::vector<std::string> lines = Lines(Report(sysfs));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[2].substr(0, 36), "      [Port1] -> Line?break   (2E4C/");
    // The description keeps 511 characters; the line is cut to 500 with its line end.
    EXPECT_EQ(lines[3].size(), 500u);
    EXPECT_EQ(lines[3], "      [Port2] -> " + std::string(481, 'N') + "\r\n");
}

TEST_F(BusReport, LargeBusIsCutAtALineBoundary) {
    constexpr int kPorts = 150;
    const fs::path usb1 = sysfs.RootHub(controller, 1, kPorts);
    for (int port = 1; port <= kPorts; ++port) sysfs.Device(usb1, port, Norvik());
    std::vector<char> buffer(velmora::kUsbBusReportSize + 16, 'x');
    const int n = velmora::BuildUsbBusReport(buffer.data(), sysfs.Root());
    EXPECT_EQ(n, kPorts);  // every device counts, shown or not
    EXPECT_EQ(buffer[velmora::kUsbBusReportSize], 'x');
    const std::string report(buffer.data());
    ASSERT_LT(report.size(), velmora::kUsbBusReportSize);

    const std::vector<std::string> lines = Lines(report);
    ASSERT_GT(lines.size(), 3u);
    EXPECT_EQ(lines.front(), kHead);
    EXPECT_EQ(lines[1], kRootHubLine.substr(0, 36) + "150 ports)" + std::string(37, ' ') +
                            "(\\kernel/drivers/usb/host/xhci-pci.ko.xz\r\n");
    EXPECT_EQ(lines.back(), Foot(kPorts));
    // Whole port lines in order, as many as fit: one more would not have.
    const size_t shown = lines.size() - 3;
    EXPECT_LT(shown, static_cast<size_t>(kPorts));
    for (size_t i = 0; i < shown; ++i) {
        const std::string& line = lines[i + 2];
        EXPECT_EQ(line.substr(0, 12 + std::to_string(i + 1).size()), "      [Port" + std::to_string(i + 1) + "]");
        EXPECT_TRUE(line.ends_with(kAcmColumn));
        EXPECT_EQ(line.size(), lines[2].size());  // the filler evens them out
    }
    EXPECT_GT(report.size() + lines[2].size(), velmora::kUsbBusReportSize - 1);
}

}  // namespace
}  // namespace busreport_test
