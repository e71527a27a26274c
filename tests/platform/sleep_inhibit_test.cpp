// The sleep and shutdown block against a private system bus: with the stand-in logind it is
// taken as asked and released with the object; without logind, or without any bus, nothing is
// held and the note says why.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/sleep_inhibit.h"
#include "tests/support/private_bus.h"
#include "tests/support/temp_dir.h"

namespace {

class SleepInhibitTest : public ::testing::Test {
protected:
    void TearDown() override { unsetenv("DBUS_SYSTEM_BUS_ADDRESS"); }
    testsupport::TempDir dir;
};

TEST_F(SleepInhibitTest, TakenFromLogindAndReleasedWithTheObject) {
    testsupport::PrivateSystemBus bus(dir.path(), true);
    ASSERT_TRUE(bus.Started()) << bus.Problem();
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.Address().c_str(), 1);

    auto block = platform::InhibitSleepAndShutdown("Quillon", "Firmware update of the Norvik 1150 in progress");
    EXPECT_TRUE(block->Held());
    EXPECT_EQ(block->Note(), "sleep and shutdown inhibited by logind");
    const std::string expected = "sleep:shutdown|Quillon|Firmware update of the Norvik 1150 in progress|block";
    EXPECT_EQ(bus.Inhibitors(), std::vector<std::string>{expected});

    block.reset();
    EXPECT_TRUE(bus.WaitForLogLine("released Quillon", 5000));
    EXPECT_TRUE(bus.Inhibitors().empty());
    EXPECT_EQ(bus.LogindLog(), (std::vector<std::string>{"ready", "inhibit " + expected, "released Quillon"}));
}

TEST_F(SleepInhibitTest, WithoutLogindOrBusNothingIsHeld) {
    testsupport::PrivateSystemBus bus(dir.path(), false);
    ASSERT_TRUE(bus.Started()) << bus.Problem();
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.Address().c_str(), 1);
    auto block = platform::InhibitSleepAndShutdown("Quillon", "test");
    EXPECT_FALSE(block->Held());
    EXPECT_EQ(block->Note().rfind("sleep and shutdown not inhibited: logind did not take the block (", 0), 0u)
        << block->Note();
    EXPECT_NE(block->Note().find("org.freedesktop.login1"), std::string::npos) << block->Note();

    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir / "no-bus").c_str(), 1);
    block = platform::InhibitSleepAndShutdown("Quillon", "test");
    EXPECT_FALSE(block->Held());
    EXPECT_EQ(block->Note().rfind("sleep and shutdown not inhibited: no system bus (", 0), 0u) << block->Note();
}

}  // namespace
