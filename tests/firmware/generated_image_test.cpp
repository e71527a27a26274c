// The controller image this build carries, read the way the update reads it.
#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "firmware/controller_version.h"
#include "firmware/hex_reader.h"
#include "firmware/resources.h"
#include "hex_text.h"

using namespace firmware;

namespace {

class GeneratedImageTest : public ::testing::Test {
protected:
    void SetUp() override {
        hextest::ResetReader();
        const auto found = FindFwFile(kControllerImageId);
        ASSERT_TRUE(found);
        text = *found;
    }
    void TearDown() override { hextest::ResetReader(); }
    std::span<const char> text;
};

TEST_F(GeneratedImageTest, DownloadBlocksAndAddressRange) {
    // As the update does it: the version scan, then the reset, then blocks until a short one.
    int model = 0, version = 0, variant = 0;
    ASSERT_EQ(ReadControllerFirmwareVersion(&model, &version, &variant, nullptr, "x-0350_Norvik1150"), 1);
    ResetHexBlockAddresses();

    std::vector<uint8_t> block(kHexBlockBufferSize);
    std::vector<int> sizes;
    std::vector<uint32_t> starts;
    for (;;) {
        uint32_t start = 0;
        const int n = ReadHexBlock(text, &start, block);
        ASSERT_GE(n, 0);
        sizes.push_back(n);
        starts.push_back(start);
        if (sizes.size() == 1) {
            EXPECT_EQ(std::vector<uint8_t>(block.begin(), block.begin() + 6),
                      (std::vector<uint8_t>{0x88, 0x04, 0x5E, 0x01, 0x00, 0x00}));
            EXPECT_EQ(std::vector<uint8_t>(block.begin() + 6, block.begin() + 240), std::vector<uint8_t>(234, 0xFF));
            EXPECT_NE(block[240], 0xFF) << "the data from 0x404100 on";
        }
        if (n < kHexBlockSize) break;
    }
    EXPECT_EQ(sizes, (std::vector<int>{64496, 64496, 64496, 64496, 64496, 64496, 64496, 16140}));
    for (size_t i = 0; i < starts.size(); ++i) EXPECT_EQ(starts[i], 0x404010u + 64496u * i) << i;

    uint32_t scratch = 0;
    EXPECT_EQ(ReadHexBlock(text, &scratch, block), -2) << "the pass after the last block";

    uint32_t first = 0, end = 0;
    ASSERT_EQ(GetHexAddressRange(text, &first, &end), 1);
    EXPECT_EQ(first, 0x404010u);
    EXPECT_EQ(end, 0x4762ACu);
    EXPECT_EQ(end - first, 467612u);
}

TEST_F(GeneratedImageTest, RecordsOfTheDocumentedBuild) {
    const std::string_view image(text.data(), static_cast<size_t>(GetFwFileLength(kControllerImageId)));
    EXPECT_EQ(image.size(), 1314695u);

    int records = 0, data = 0, linear = 0, start = 0, eof = 0;
    HexState().readPosition = 0;
    for (;;) {
        const int recordStart = HexState().readPosition;
        int address = 0, type = 0;
        HexDigits digits{};
        const int n = ParseHexRecord(text, &address, &type, &digits);
        ASSERT_GE(n, 0) << "at " << recordStart;
        ++records;
        // Exactly CR LF after each record, upper-case digits throughout.
        const std::string_view record = image.substr(static_cast<size_t>(recordStart), static_cast<size_t>(13 + n));
        EXPECT_EQ(record.substr(record.size() - 2), "\r\n") << "at " << recordStart;
        EXPECT_EQ(record.substr(1, record.size() - 3).find_first_not_of("0123456789ABCDEF"), std::string_view::npos);
        data += type == kHexData;
        linear += type == kHexExtendedLinearAddress;
        start += type == kHexStartLinearAddress;
        if (type == kHexEndOfFile) {
            ++eof;
            break;
        }
    }
    EXPECT_EQ(records, 29223);
    EXPECT_EQ(linear, 8);
    EXPECT_EQ(start, 1);
    EXPECT_EQ(eof, 1);
    EXPECT_EQ(data, 29223 - 10);
    EXPECT_EQ(HexState().readPosition, 1314695) << "the end-of-file record is the last";
}

}  // namespace
