#include "firmware/controller_version.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "firmware/hex_reader.h"
#include "firmware/resources.h"
#include "hex_text.h"
#include "platform/system_info.h"

using namespace firmware;
using namespace hextest;

namespace {

TEST(VersionText, FromTheProgramPath) {
    struct Case {
        std::string path;
        size_t tail;
        std::string text;
    } cases[] = {
        {"/usr/bin/quillon-0350_Norvik1150", kControllerVersionTail, "03.50"},
        {"0350_Norvik1150", kControllerVersionTail, "03.50"},
        {"C:\\Tools\\fwupdate0412.exe", kEsp32VersionTail, "04.12"},
        {"/opt/quillon-0260_ESP", kEsp32VersionTail, "02.60"},
        // Shorter than the tail: nothing is cut from the front.
        {"/q/0350", kControllerVersionTail, "/q./0"},
        {"abc", kControllerVersionTail, "ab.c"},
        {"ab", kControllerVersionTail, "ab."},
        {"a", kControllerVersionTail, "a."},
        {"", kEsp32VersionTail, "."},
        // Counted in characters: a two-byte character is kept whole.
        {"/\xC3\xBC" "0350_Norvik115", kControllerVersionTail, "\xC3\xBC" "0.35"},
    };
    for (const Case& c : cases) EXPECT_EQ(VersionTextFromPath(c.path, c.tail), c.text) << c.path;
}

class ReadControllerFirmwareVersionTest : public ::testing::Test {
protected:
    void SetUp() override { ResetReader(); }
    void TearDown() override { ResetReader(); }

    int Read(const std::string& path) {
        headings.clear();
        return ReadControllerFirmwareVersion(&model, &version, &variant,
                                             [this](const std::string& t) { headings.push_back(t); }, path);
    }

    int model = -7, version = -7, variant = -7;
    std::vector<std::string> headings;
};

TEST_F(ReadControllerFirmwareVersionTest, EmbeddedImageAndNameOfTheProgram) {
    HexState().upperAddress = 0x1234;
    HexState().nextExpectedAddress = 0x5678;
    HexState().readPosition = 999;
    ASSERT_EQ(Read("/opt/quillon/quillon-0350_Norvik1150"), 1);
    EXPECT_EQ(model, 1160);
    EXPECT_EQ(version, 350);
    EXPECT_EQ(variant, 0);
    EXPECT_EQ(headings, std::vector<std::string>{" Firmware update Norvik 1150 to Firmware 03.50 "});
    // Where the download starts reading blocks.
    EXPECT_EQ(HexState().readPosition, 0);
    EXPECT_EQ(HexState().upperAddress, 0u);
    EXPECT_EQ(HexState().nextExpectedAddress, 0u);
}

TEST_F(ReadControllerFirmwareVersionTest, WithoutVersionBlockTheEsp32Heading) {
    const auto hex = Padded(Linear(0x0040) + Data(0x4100, Bytes(16)) + kEof);
    const TableResourceStore store({{"FW_FILE", 140, hex}});
    ScopedResourceStore scoped(store);
    EXPECT_EQ(Read("/opt/fwupdate0412.exe"), 0);
    EXPECT_EQ(model, -7) << "nothing stored";
    EXPECT_EQ(version, -7);
    EXPECT_EQ(variant, -7);
    EXPECT_EQ(headings, std::vector<std::string>{" ESP32 firmware update to Version 04.12 "});
}

TEST_F(ReadControllerFirmwareVersionTest, OnlyPaddingOrADamagedRecordIsNegative) {
    const auto padding = Text(std::string(2000002, '0'));
    const auto damaged = Padded(Linear(0x0040) + ":0640100088045E010000BE\r\n" + kEof);
    for (const auto* text : {&padding, &damaged}) {
        const TableResourceStore store({{"FW_FILE", 140, *text}});
        ScopedResourceStore scoped(store);
        EXPECT_LT(Read("/opt/quillon-0412_ESP"), 0);
        EXPECT_EQ(model, -7);
        EXPECT_EQ(headings, std::vector<std::string>{" ESP32 firmware update to Version 04.12 "});
    }
}

TEST_F(ReadControllerFirmwareVersionTest, MissingResourceReturnsTheLookUpError) {
    const std::string other = "x";
    const TableResourceStore store({{"FW_FILE", 141, {other.data(), other.size()}}});
    ScopedResourceStore scoped(store);
    HexState().upperAddress = 0x1234;
    EXPECT_EQ(Read("/opt/quillon-0350_Norvik1150"), kErrorResourceNameNotFound);
    EXPECT_GT(kErrorResourceNameNotFound, 1);
    EXPECT_EQ(model, -7);
    EXPECT_TRUE(headings.empty()) << "nothing else changed";
    EXPECT_EQ(HexState().upperAddress, 0x1234u);
}

TEST_F(ReadControllerFirmwareVersionTest, VersionBytesTheImageLacksCountAsZero) {
    const auto hex = Padded(Linear(0x0040) + Data(0x4010, {0x88, 0x04, 0x5E}) + kEof);
    const TableResourceStore store({{"FW_FILE", 140, hex}});
    ScopedResourceStore scoped(store);
    ASSERT_EQ(Read("/opt/quillon-0350_Norvik1150"), 1);
    EXPECT_EQ(model, 1160);
    EXPECT_EQ(version, 0x5E);
    EXPECT_EQ(variant, 0);
}

TEST_F(ReadControllerFirmwareVersionTest, OwnProgramPathByDefault) {
    std::string heading;
    ASSERT_EQ(ReadControllerFirmwareVersion(&model, &version, &variant,
                                            [&](const std::string& t) { heading = t; }),
              1);
    EXPECT_EQ(heading, ControllerHeadingText(VersionTextFromPath(platform::ProgramPath(), 15)));
}

}  // namespace
