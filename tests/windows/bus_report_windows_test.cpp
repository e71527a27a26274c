// The USB bus report of the Windows build under Wine. Wine publishes no USB host controller
// interface, so the walk finds an empty bus and the report is its frame alone; the hub requests
// themselves cannot run here (see the README).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "transport/usb_bus_report.h"

TEST(WindowsBusReport, ComputerWithoutHostControllersGivesTheFrameAlone) {
    char buffer[velmora::kUsbBusReportSize];
    std::memset(buffer, 'x', sizeof buffer);
    const int connected = velmora::BuildUsbBusReport(buffer);
    const std::string report = buffer;
    ASSERT_LT(report.size(), sizeof buffer);
    EXPECT_EQ(report.rfind("   USB bus:\r\n", 0), 0u) << report;
    EXPECT_EQ(report.substr(report.size() - 2), "\r\n");
    if (report.find("RootHub") == std::string::npos) {
        EXPECT_EQ(connected, 0);
        EXPECT_EQ(report, "   USB bus:\r\n   0 devices connected to USB\r\n");
    }
}
