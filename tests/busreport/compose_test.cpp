// Writing a gathered bus: status texts, the driver column and the line limit, for states and
// shapes that a sysfs tree does not produce.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transport/usb_bus_report.h"
#include "transport/usb_bus_tree.h"

namespace velmora::usbreport {
namespace {

UsbBusTree OneRootHub(std::vector<UsbPort> ports) {
    UsbHub hub;
    hub.name = "/sys/devices/x/usb1";
    hub.numberOfPorts = static_cast<int>(ports.size());
    hub.ports = std::move(ports);
    UsbHostController controller;
    controller.devicePath = "/sys/devices/x";  // no description: the path names it
    controller.rootHubs.push_back(std::move(hub));
    UsbBusTree tree;
    tree.controllers.push_back(std::move(controller));
    return tree;
}

UsbBusTree OneRootHub(UsbPort port) {
    std::vector<UsbPort> ports;
    ports.push_back(std::move(port));
    return OneRootHub(std::move(ports));
}

UsbPort Device(int number, int status, std::string description = "") {
    UsbPort port;
    port.number = number;
    port.status = status;
    port.idVendor = 0x2E4C;
    port.idProduct = 0x0A1F;
    port.bcdUSB = 0x0110;
    if (!description.empty()) port.description = description;
    port.driverLookup = DriverLookup::Found;
    return port;
}

std::string Compose(const UsbBusTree& tree, int* connected = nullptr) {
    std::vector<char> buffer(kUsbBusReportSize);
    const int n = ComposeUsbBusReport(tree, buffer.data());
    if (connected) *connected = n;
    return buffer.data();
}

TEST(ComposeUsbBusReport, StatusTexts) {
    const std::vector<std::pair<int, std::string>> cases = {
        {0, "-"}, {1, "->"}, {2, "!Error Enum:"}, {3, "!Error general:"}, {4, "!Ouver Current:"},
        {5, "!Error not enough powered:"}, {6, "!Error status 6:"}, {-1, "!Error status -1:"},
    };
    std::vector<UsbPort> ports;
    std::string expected = "   USB bus:\r\n     /sys/devices/x->RootHub (8 ports)\r\n";
    for (const auto& [status, text] : cases) {
        EXPECT_EQ(ConnectionStatusText(status), text);
        ports.push_back(Device(static_cast<int>(ports.size()) + 1, status));
        expected += "      [Port" + std::to_string(ports.size()) + "] " + text + " Unknown device   (2E4C/0A1F)  rev.:1.10\r\n";
    }
    int n = -1;
    EXPECT_EQ(Compose(OneRootHub(std::move(ports)), &n), expected + "   1 devices connected to USB\r\n");
    EXPECT_EQ(n, 1);
}

TEST(ComposeUsbBusReport, EmptyPortsShowNothingOfTheirRecord) {
    // Without a device the driver and the description are not asked for.
    UsbPort empty = Device(1, kNoDevice, "Left over");
    empty.idVendor = 0;
    empty.driverLookup = DriverLookup::NotInstalled;
    EXPECT_EQ(Compose(OneRootHub(std::move(empty))),
              "   USB bus:\r\n     /sys/devices/x->RootHub (1 ports)\r\n   0 devices connected to USB\r\n");
}

TEST(ComposeUsbBusReport, DriverColumnStartsAfterLongTextWithoutFiller) {
    UsbPort port = Device(1, kConnected, std::string(60, 'D'));  // text of 90 characters
    port.service = ServiceInfo{"drv", std::string("drv.ko"), std::array<uint16_t, 4>{1, 2, 3, 4}};
    const std::string report = Compose(OneRootHub(std::move(port)));
    EXPECT_NE(report.find("      [Port1] -> " + std::string(60, 'D') + "   (2E4C/0A1F)  rev.:1.10 (\\drv.ko  rev.1.2.3.4)\r\n"),
              std::string::npos)
        << report;
}

TEST(ComposeUsbBusReport, ColumnCountsCharactersNotBytes) {
    UsbPort port = Device(1, kConnected, "Ger\xC3\xA4t");  // "Gerät": 5 characters, 6 bytes
    port.service = ServiceInfo{"drv", std::string("drv.ko"), std::nullopt};
    const std::string report = Compose(OneRootHub(std::move(port)));
    const std::string text = "      [Port1] -> Ger\xC3\xA4t   (2E4C/0A1F)  rev.:1.10";
    EXPECT_NE(report.find(text + std::string(36, ' ') + "(\\drv.ko\r\n"), std::string::npos) << report;
}

}  // namespace
}  // namespace velmora::usbreport
