#include "firmware/hex_reader.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "hex_text.h"

using namespace firmware;
using namespace hextest;

namespace {

class HexReaderTest : public ::testing::Test {
protected:
    void SetUp() override { ResetReader(); }
    void TearDown() override { ResetReader(); }
};

// ---- ParseHexRecord ----

struct ParseCase {
    const char* name;
    std::string text;
    int result;
    int address;  // checked on success
    int type;
    int position;  // read position afterwards
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

class ParseHexRecordTest : public HexReaderTest, public ::testing::WithParamInterface<ParseCase> {};

TEST_P(ParseHexRecordTest, ResultAddressTypeAndPosition) {
    const ParseCase& c = GetParam();
    const std::vector<char> text = Text(c.text);
    int address = -1, type = -1;
    HexDigits digits{};
    EXPECT_EQ(ParseHexRecord(text, &address, &type, &digits), c.result);
    if (c.result >= 0) {
        EXPECT_EQ(address, c.address);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(digits[static_cast<size_t>(c.result)], '\0');
    } else {
        EXPECT_EQ(address, -1) << "nothing is stored on an error";
    }
    EXPECT_EQ(HexState().readPosition, c.position);
}

std::string WithChecksum(std::string record, int delta) {
    // record ends in two checksum digits and CR LF; change the checksum by delta.
    const size_t at = record.size() - 4;
    const int cs = (std::stoi(record.substr(at, 2), nullptr, 16) + delta) & 0xFF;
    char buf[3];
    std::snprintf(buf, sizeof buf, "%02X", cs);
    record.replace(at, 2, buf);
    return record;
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

const std::string k33 = Data(0x1234, Bytes(33));
const std::string k32 = Data(0x1234, Bytes(32));

INSTANTIATE_TEST_SUITE_P(
    Records, ParseHexRecordTest,
    ::testing::Values(
        ParseCase{"EndOfFile", ":00000001FF\r\n", 0, 0, 1, 13},
        ParseCase{"EndOfFileWithoutLineEndAtTextEnd", ":00000001FF", 0, 0, 1, 11},
        ParseCase{"ThirtyTwoBytes", k32, 64, 0x1234, 0, 13 + 64},
        ParseCase{"GoodThirtyThreeBytesTooLong", k33, kHexTooLong, 0, 0, 13 + 66},
        ParseCase{"BadChecksumWinsOverLength", WithChecksum(k33, 1), kHexBadChecksum, 0, 0, 13 + 66},
        ParseCase{"BadChecksum", WithChecksum(Data(0x10, Bytes(4)), 1), kHexBadChecksum, 0, 0, 21},
        ParseCase{"PaddingIsNoRecord", "000000000000000000000", kHexNoRecord, 0, 0, 9},
        ParseCase{"LowerCase", Lower(Data(0xABCD, Bytes(10, 0xAA))), 20, 0xABCD, 0, 33},
        ParseCase{"LowerCaseData", ":02000000abcd86\r\n", 4, 0, 0, 17},
        ParseCase{"NonHexInAddress", ":0200G000ABCD86\r\n", kHexBadChecksum, 0, 0, 9},
        ParseCase{"NonHexInData", ":02000000ABCG86\r\n", kHexBadChecksum, 0, 0, 17},
        ParseCase{"HeaderCutByTextEnd", ":100000", kHexNoRecord, 0, 0, 7},
        ParseCase{"DataCutByTextEnd", ":10000000010203", kHexNoRecord, 0, 0, 15},
        ParseCase{"EmptyText", "", kHexNoRecord, 0, 0, 0}),
    [](const ::testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

TEST_F(HexReaderTest, ParseCopiesTheDataDigitsAsTheyStand) {
    const std::vector<char> text = Text(":03010000a1B2c3E6\r\n");
    int address = 0, type = 0;
    HexDigits digits{};
    ASSERT_EQ(ParseHexRecord(text, &address, &type, &digits), 6);
    EXPECT_STREQ(digits.data(), "a1B2c3");
    EXPECT_EQ(address, 0x100);
}

TEST_F(HexReaderTest, ParseContinuesAtTheReadPosition) {
    const std::vector<char> text = Text(Data(0x10, Bytes(2)) + kEof);
    int address = 0, type = 0;
    HexDigits digits{};
    ASSERT_EQ(ParseHexRecord(text, &address, &type, &digits), 4);
    EXPECT_EQ(HexState().readPosition, 17);
    ASSERT_EQ(ParseHexRecord(text, &address, &type, &digits), 0);
    EXPECT_EQ(type, kHexEndOfFile);
    // Beyond the end there is nothing to read, however often it is asked.
    EXPECT_EQ(ParseHexRecord(text, &address, &type, &digits), kHexNoRecord);
    EXPECT_EQ(ParseHexRecord(text, &address, &type, &digits), kHexNoRecord);
    EXPECT_EQ(HexState().readPosition, static_cast<int>(text.size()));
}

// ---- ReadHexBlock ----

class ReadHexBlockTest : public HexReaderTest {
protected:
    std::vector<uint8_t> buffer = std::vector<uint8_t>(kHexBlockBufferSize, 0xEE);
    uint32_t start = 0xDEADBEEF;

    int Next(const std::vector<char>& text) { return ReadHexBlock(text, &start, buffer); }
    std::vector<uint8_t> Placed(int n) const { return {buffer.begin(), buffer.begin() + n}; }
};

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST_F(ReadHexBlockTest, GapOfFiveBytesIsFilledWithFF) {
    const auto text = Padded(Linear(0x0001) + Data(0x1000, Bytes(16)) + Data(0x1015, Bytes(3, 0x40)) + kEof);
    ASSERT_EQ(Next(text), 16 + 5 + 3);
    EXPECT_EQ(start, 0x11000u);
    EXPECT_EQ(Placed(24), Concat({Bytes(16), std::vector<uint8_t>(5, 0xFF), Bytes(3, 0x40)}));
    EXPECT_EQ(HexState().upperAddress, 0u) << "the end-of-file record clears the upper address";
    EXPECT_EQ(Next(text), -2) << "after the end-of-file record comes padding";
}

TEST_F(ReadHexBlockTest, VersionBlockGapOf234BytesUpTo0x404100) {
    const auto text = Padded(Linear(0x0040) + Data(0x4010, Bytes(6)) + Data(0x4100, Bytes(16, 0x80)) + kEof);
    ASSERT_EQ(Next(text), 6 + 234 + 16);
    EXPECT_EQ(start, 0x404010u);
    EXPECT_EQ(Placed(256), Concat({Bytes(6), std::vector<uint8_t>(234, 0xFF), Bytes(16, 0x80)}));
}

TEST_F(ReadHexBlockTest, GapOf234BytesTakesFifteenPassesWithTheBlockTestBetween) {
    // 64,486 bytes, then a gap of 234: the first pass of 16 fills the block past its size, so
    // the block ends there; the next block takes the other 218 gap bytes in 14 passes.
    std::string hex = Linear(0x0001);
    unsigned a = 0;
    for (int i = 0; i < 4030; ++i, a += 16) hex += Data(a, Bytes(16));
    hex += Data(a, Bytes(6));
    a += 6;
    hex += Data(a + 234, Bytes(4, 0x50)) + kEof;
    const auto text = Padded(hex);

    ASSERT_EQ(Next(text), 64486 + 16);
    EXPECT_EQ(start, 0x10000u);
    EXPECT_EQ(buffer[64486], 0xFF);
    ASSERT_EQ(Next(text), 218 + 4);
    EXPECT_EQ(start, 0x10000u + 64502) << "the second block starts inside the gap";
    EXPECT_EQ(Placed(222), Concat({std::vector<uint8_t>(218, 0xFF), Bytes(4, 0x50)}));
}

TEST_F(ReadHexBlockTest, ExtendedLinearAddressThenTheNextAddressNeedsNoFill) {
    const auto text = Padded(Linear(0x0040) + Data(0xFFF0, Bytes(16)) + Linear(0x0041) +
                             Data(0x0000, Bytes(16, 0x30)) + kEof);
    ASSERT_EQ(Next(text), 32);
    EXPECT_EQ(start, 0x40FFF0u);
    EXPECT_EQ(Placed(32), Concat({Bytes(16), Bytes(16, 0x30)}));
}

TEST_F(ReadHexBlockTest, ExtendedLinearAddressClearsTheNextExpectedAddress) {
    ASSERT_EQ(Next(Padded(Data(0x0100, Bytes(16)) + Linear(0x0041) + kEof)), 16);
    EXPECT_EQ(HexState().nextExpectedAddress, 0u);
    ResetReader();
    ASSERT_EQ(Next(Padded(Data(0x0100, Bytes(16)) + kEof)), 16);
    EXPECT_EQ(HexState().nextExpectedAddress, 0x110u);
}

TEST_F(ReadHexBlockTest, JumpAfterExtendedLinearAddressInsideABlockKeepsEveryByteAtItsAddress) {
    const auto text = Padded(Linear(0x0040) + Data(0xFFF0, Bytes(16)) + Linear(0x0041) +
                             Data(0x0010, Bytes(4, 0x30)) + kEof);
    ASSERT_EQ(Next(text), 16 + 16 + 4);
    EXPECT_EQ(Placed(36), Concat({Bytes(16), std::vector<uint8_t>(16, 0xFF), Bytes(4, 0x30)}));
}

TEST_F(ReadHexBlockTest, DataBelowBytesAlreadyPlacedIsAnError) {
    const auto text = Padded(Data(0x100, Bytes(16)) + Data(0x108, Bytes(16)) + kEof);
    EXPECT_EQ(Next(text), -2);
}

TEST_F(ReadHexBlockTest, BadRecordLosesTheBlock) {
    const auto text = Padded(Data(0x100, Bytes(16)) + WithChecksum(Data(0x110, Bytes(16)), 3) + kEof);
    EXPECT_EQ(Next(text), -2);
}

TEST_F(ReadHexBlockTest, TextWithoutEndOfFileOrPaddingStopsAtItsEnd) {
    const auto text = Text(Data(0x100, Bytes(16)) + Data(0x110, Bytes(16)));
    EXPECT_EQ(Next(text), -2);
    EXPECT_EQ(HexState().readPosition, static_cast<int>(text.size()));
}

TEST_F(ReadHexBlockTest, ImageEndingOnABlockBoundaryEndsWithAnEmptyBlock) {
    std::string hex = Linear(0x0002);
    for (unsigned a = 0; a < 64496; a += 16) hex += Data(a, Bytes(16));
    const auto text = Padded(hex + kEof);
    ASSERT_EQ(Next(text), kHexBlockSize);
    EXPECT_EQ(start, 0x20000u);
    start = 0xDEADBEEF;
    EXPECT_EQ(Next(text), 0);
    EXPECT_EQ(start, 0xDEADBEEFu) << "an empty block has no first byte";
    EXPECT_EQ(Next(text), -2);
}

TEST_F(ReadHexBlockTest, ThirtyTwoByteRecordsFillTheSmallestBufferExactly) {
    std::string hex = Data(0x0000, Bytes(15));
    unsigned a = 15;
    for (int i = 0; i < 2016; ++i, a += 32) hex += Record(0, a, Bytes(32));
    buffer.assign(kHexBlockBufferMin, 0xEE);
    const auto text = Padded(Linear(0x0003) + hex + kEof);
    EXPECT_EQ(Next(text), 15 + 2015 * 32 + 32);
}

TEST_F(ReadHexBlockTest, TooSmallBufferIsRefusedUntouched) {
    buffer.assign(100, 0xEE);
    const auto text = Padded(Data(0x100, Bytes(16)) + kEof);
    EXPECT_EQ(Next(text), -2);
    EXPECT_EQ(buffer, std::vector<uint8_t>(100, 0xEE));
    EXPECT_EQ(HexState().readPosition, 0);
}

TEST_F(ReadHexBlockTest, LowerCaseDataDigitsAreDecoded) {
    const auto text = Padded(":02010000abcd85\r\n" + kEof);
    ASSERT_EQ(Next(text), 2);
    EXPECT_EQ(Placed(2), (std::vector<uint8_t>{0xAB, 0xCD}));
}

TEST_F(ReadHexBlockTest, ExtendedSegmentAddressIsSixteenTimesItsValue) {
    const auto text = Padded(Record(2, 0, {0x12, 0x34}) + Data(0x0010, Bytes(2)) + kEof);
    ASSERT_EQ(Next(text), 2);
    EXPECT_EQ(start, 0x12340u + 0x10);
}

TEST_F(ReadHexBlockTest, ContinuesWithTheSharedState) {
    // The upper address and next expected address come from the caller's reset, not the call.
    const auto text = Padded(Data(0x0100, Bytes(4)) + kEof);
    HexState().upperAddress = 0x00400000;
    HexState().nextExpectedAddress = 0x004000FE;
    ASSERT_EQ(Next(text), 2 + 4);
    EXPECT_EQ(start, 0x004000FEu);
}

// Reads blocks until the reader reports an error or a short block; returns that last result
// and the number of bytes all blocks placed.
std::pair<int, uint64_t> ReadAllBlocks(const std::vector<char>& text, std::vector<uint8_t>& buffer) {
    uint64_t total = 0;
    uint32_t start = 0;
    for (int calls = 0; calls < 100; ++calls) {
        const int n = ReadHexBlock(text, &start, buffer);
        if (n < 0) return {n, total};
        total += static_cast<uint64_t>(n);
        if (n < kHexBlockSize) return {n, total};
    }
    return {kHexBlockSize, total};  // still going after 100 blocks (6 MB)
}

// One full block (4,031 records of 16 bytes from 0x400000), so that what follows is read by
// the next call.
std::string OneFullBlock() {
    std::string hex = Linear(0x0040);
    for (unsigned a = 0; a < static_cast<unsigned>(kHexBlockSize); a += 16) hex += Data(a, Bytes(16));
    return hex;
}

TEST_F(ReadHexBlockTest, ImagesThatReachTooFarOrGoBackAreRefused) {
    struct Case {
        const char* name;
        std::string hex;
    };
    const std::vector<Case> cases = {
        {"a jump of nearly 4 GB after the version block",
         Linear(0x0040) + Data(0x4010, Bytes(6)) + Linear(0xF000) + Data(0x0000, Bytes(16))},
        {"a record whose bytes pass 0xFFFFFFFF", Linear(0xFFFF) + Data(0xFFF0, Bytes(32))},
        {"data after a record that ends at 0xFFFFFFFF",
         Linear(0xFFFF) + Data(0xFFF0, Bytes(16)) + Data(0x0000, Bytes(4))},
        {"a gap one byte longer than the flash",
         Linear(0x0040) + Data(0x0000, Bytes(16)) + Linear(0x0050) + Data(0x0000, Bytes(1))},
        {"a jump back inside a block", Linear(0x0041) + Data(0x0000, Bytes(16)) + Linear(0x0040) +
                                           Data(0x0000, Bytes(16))},
        {"a jump back at the start of the next block", OneFullBlock() + Linear(0x0040) + Data(0x0000, Bytes(16))},
        {"a jump back into the last block at the start of the next",
         OneFullBlock() + Linear(0x0040) + Data(static_cast<unsigned>(kHexBlockSize) - 16, Bytes(16))},
    };
    for (const Case& c : cases) {
        ResetReader();
        const auto text = Padded(c.hex + kEof);
        EXPECT_EQ(ReadAllBlocks(text, buffer).first, -2) << c.name;
    }
}

TEST_F(ReadHexBlockTest, AnImageAsLongAsTheFlashIsReadWhole) {
    // From 0x400000 to 0x500000 exactly: the gap is filled and every byte keeps its address.
    const auto text = Padded(Linear(0x0040) + Data(0x0000, Bytes(16)) + Linear(0x004F) + Data(0xFFF0, Bytes(16, 0x60)) +
                             kEof);
    const auto [last, total] = ReadAllBlocks(text, buffer);
    EXPECT_GE(last, 0);
    EXPECT_EQ(total, kControllerFlashSize);
}

TEST_F(ReadHexBlockTest, AForwardJumpAtTheStartOfABlockStartsTheBlockThere) {
    const auto text = Padded(OneFullBlock() + Linear(0x0042) + Data(0x0000, Bytes(16, 0x70)) + kEof);
    ASSERT_EQ(Next(text), kHexBlockSize);
    ASSERT_EQ(Next(text), 16);
    EXPECT_EQ(start, 0x420000u);
    EXPECT_EQ(Placed(16), Bytes(16, 0x70));
}

// ---- GetHexAddressRange ----

TEST_F(HexReaderTest, RangeOfASingleRecord) {
    const auto text = Padded(Linear(0x0040) + Data(0x4010, Bytes(6)) + kEof);
    uint32_t first = 0, end = 0;
    ASSERT_EQ(GetHexAddressRange(text, &first, &end), 1);
    EXPECT_EQ(first, 0x404010u);
    EXPECT_EQ(end, 0x404016u);
    EXPECT_EQ(HexState().readPosition, static_cast<int>(text.size()) - 40) << "left after the end-of-file record";
}

TEST_F(HexReaderTest, RangeKeepsItsOwnUpperAddress) {
    const auto text = Padded(Linear(0x0040) + Data(0x4010, Bytes(6)) + Linear(0x0047) + Data(0x62A0, Bytes(12)) +
                             StartLinear(0x404101) + kEof);
    HexState().upperAddress = 0x77;
    HexState().nextExpectedAddress = 0x99;
    uint32_t first = 0, end = 0;
    ASSERT_EQ(GetHexAddressRange(text, &first, &end), 1);
    EXPECT_EQ(first, 0x404010u);
    EXPECT_EQ(end, 0x4762ACu);
    EXPECT_EQ(HexState().upperAddress, 0x77u);
    EXPECT_EQ(HexState().nextExpectedAddress, 0x99u);
}

TEST_F(HexReaderTest, RangeFailures) {
    uint32_t first = 7, end = 7;
    const std::vector<std::string> images = {
        Data(0x10, Bytes(4)) + WithChecksum(Data(0x14, Bytes(4)), 1) + kEof,  // bad record
        Data(0x10, Bytes(4)),                                                  // no end-of-file, no padding
        Linear(0x0040) + kEof,                                                 // no data
        Data(0x20, Bytes(4)) + Data(0x10, Bytes(4)) + kEof,                    // going backwards
    };
    for (const std::string& image : images) {
        ResetReader();
        EXPECT_EQ(GetHexAddressRange(Text(image), &first, &end), -1) << image;
    }
    EXPECT_EQ(first, 7u);
    EXPECT_EQ(end, 7u);
}

// ---- ReadHexVersionBytes ----

TEST_F(HexReaderTest, VersionBytesEndAtTheStartLinearAddressRecord) {
    // What follows the start linear address record is never read.
    const auto text = Text(Linear(0x0040) + Data(0x4010, {0x88, 0x04, 0x5E, 0x01, 0x00, 0x00}) +
                           StartLinear(0x404101) + "garbage");
    HexState().upperAddress = 0x55;
    HexState().nextExpectedAddress = 0x66;
    std::vector<char> hex(kVersionHexMin, 'x');
    ASSERT_EQ(ReadHexVersionBytes(text, hex), 12);
    EXPECT_STREQ(hex.data(), "88045E010000");
    EXPECT_EQ(HexState().readPosition, 0);
    EXPECT_EQ(HexState().upperAddress, 0x55u);
    EXPECT_EQ(HexState().nextExpectedAddress, 0x66u);
}

TEST_F(HexReaderTest, VersionBytesWithoutStartLinearRecordEndAtEndOfFile) {
    const auto text = Padded(Linear(0x0040) + Lower(Data(0x4010, {0x88, 0x04, 0x5E})) + kEof);
    std::vector<char> hex(kVersionHexMin, 'x');
    ASSERT_EQ(ReadHexVersionBytes(text, hex), 6);
    EXPECT_STREQ(hex.data(), "88045e") << "digits as they stand in the text";
    EXPECT_EQ(HexState().readPosition, 0);
}

TEST_F(HexReaderTest, VersionWindowIsInclusiveAndTakesNothingElse) {
    // One record from 0x404000 to 0x40402F: only 0x404010..0x404020 count, 17 bytes.
    const auto text = Padded(Linear(0x0040) + Data(0x4000, Bytes(32)) + Data(0x4020, Bytes(16, 0x90)) + kEof);
    std::vector<char> hex(kVersionHexMin, 'x');
    ASSERT_EQ(ReadHexVersionBytes(text, hex), 34);
    EXPECT_EQ(std::string(hex.data()), "1112131415161718191A1B1C1D1E1F20" "90");
}

TEST_F(HexReaderTest, VersionBytesNoneInTheWindow) {
    const auto text = Padded(Linear(0x0040) + Data(0x4100, Bytes(16)) + Data(0x4021, Bytes(4)) + kEof);
    std::vector<char> hex(kVersionHexMin, 'x');
    EXPECT_EQ(ReadHexVersionBytes(text, hex), 0);
    EXPECT_EQ(hex[0], '\0');
}

TEST_F(HexReaderTest, VersionBytesNeverOverrunTheBuffer) {
    // The window twice over: digits that do not fit are dropped.
    const std::string twice = Data(0x4010, Bytes(17)) + Data(0x4010, Bytes(17));
    const auto text = Padded(Linear(0x0040) + twice + kEof);
    std::vector<char> hex(kVersionHexMin);
    ASSERT_EQ(ReadHexVersionBytes(text, hex), 34);
    EXPECT_EQ(hex[34], '\0');
    std::vector<char> small(7);
    ASSERT_EQ(ReadHexVersionBytes(text, small), 6);
    EXPECT_STREQ(small.data(), "010203");
}

TEST_F(HexReaderTest, VersionBytesRecordErrorAndMissingEnd) {
    std::vector<char> hex(kVersionHexMin);
    EXPECT_EQ(ReadHexVersionBytes(Text(Linear(0x0040) + WithChecksum(Data(0x4010, Bytes(6)), 1) + kEof), hex), -1);
    EXPECT_EQ(ReadHexVersionBytes(Text(Linear(0x0040) + Data(0x4010, Bytes(6))), hex), -1);
    EXPECT_EQ(ReadHexVersionBytes(Text(std::string(2000, '0')), hex), -1);
    EXPECT_EQ(HexState().readPosition, 9) << "left where the failing record put it";
}

// ---- addresses beyond the flash or the address space, in every reader ----

TEST_F(HexReaderTest, RangeAndVersionRefuseImagesThatReachTooFar) {
    struct Case {
        const char* name;
        std::string hex;
    };
    const std::vector<Case> cases = {
        // Without the check the range came out as 0x404010 to 0x10: an end below its start.
        {"a record whose bytes pass 0xFFFFFFFF", Linear(0x0040) + Data(0x4010, Bytes(6)) + Linear(0xFFFF) +
                                                     Data(0xFFF0, Bytes(32))},
        {"a range one byte longer than the flash",
         Linear(0x0040) + Data(0x0000, Bytes(16)) + Linear(0x0050) + Data(0x0000, Bytes(1))},
        {"a jump of nearly 4 GB", Linear(0x0040) + Data(0x4010, Bytes(6)) + Linear(0xF000) + Data(0x0000, Bytes(16))},
    };
    for (const Case& c : cases) {
        ResetReader();
        uint32_t first = 7, end = 7;
        EXPECT_EQ(GetHexAddressRange(Padded(c.hex + kEof), &first, &end), -1) << c.name;
        EXPECT_EQ(end, 7u) << c.name;
    }
    // The version scan reads every record too: the one that wraps is an error there as well.
    std::vector<char> hex(kVersionHexMin);
    EXPECT_EQ(ReadHexVersionBytes(Padded(cases[0].hex + kEof), hex), -1);
}

TEST_F(HexReaderTest, RangeAsLongAsTheFlashIsAccepted) {
    uint32_t first = 0, end = 0;
    const auto text = Padded(Linear(0x0040) + Data(0x0000, Bytes(16)) + Linear(0x004F) + Data(0xFFF0, Bytes(16)) + kEof);
    ASSERT_EQ(GetHexAddressRange(text, &first, &end), 1);
    EXPECT_EQ(first, 0x400000u);
    EXPECT_EQ(end, 0x500000u);
}

}  // namespace
