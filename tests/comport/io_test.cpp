// Reading and writing through a real pseudo-terminal: pieces, time-outs, short-read
// allowance, hang-up and byte transparency.
#include <gtest/gtest.h>

#include <thread>

#include "com_test_support.h"
#include "platform/clock.h"
#include "transport/com_port.h"

using comtest::Pty;
using comtest::TempDir;
using platform::VirtualClock;
using velmora::ComPiece;

namespace {

// A port published by a pty and opened by the product, with its pieces recorded.
class OpenPort : public ::testing::Test {
protected:
    void SetUp() override {
        pty_ = std::make_unique<Pty>(dir_.path + "/port");
        handle_ = velmora::OpenCOM(static_cast<uint8_t>(comtest::PortOf(*pty_)));
        ASSERT_NE(handle_, velmora::kInvalidComHandle);
        velmora::SetComPieceObserver([this](const ComPiece& p) {
            pieces_.push_back(p);
            if (onPiece_) onPiece_(p);
        });
    }
    void TearDown() override {
        velmora::SetComPieceObserver(nullptr);
        velmora::CloseCOM(handle_);
    }

    using Pieces = std::vector<std::pair<uint32_t, uint32_t>>;  // asked, moved
    Pieces PiecesOf(ComPiece::Kind kind) const {
        Pieces out;
        for (const ComPiece& p : pieces_)
            if (p.kind == kind) out.emplace_back(p.asked, p.moved);
        return out;
    }

    TempDir dir_;
    std::unique_ptr<Pty> pty_;
    velmora::ComHandle handle_ = velmora::kInvalidComHandle;
    std::vector<ComPiece> pieces_;
    std::function<void(const ComPiece&)> onPiece_;
};

TEST_F(OpenPort, FortyBytesOfWhichTenComeAfterTheTimeOutFail) {
    VirtualClock clock;
    platform::ScopedClock scoped(clock);
    const auto bytes = comtest::Pattern(40);
    ASSERT_TRUE(pty_->Write({bytes.begin(), bytes.begin() + 30}));

    std::vector<uint8_t> buffer(40);
    EXPECT_EQ(velmora::ReadCOM(handle_, buffer.data(), 40), 0);
    EXPECT_EQ(clock.NowMs(), 40u + 10000u);  // one piece, waited out to its time-out
    EXPECT_EQ(clock.SleptMs(), 0u);          // allowance 0: no pause, no second piece
    EXPECT_EQ(PiecesOf(ComPiece::Kind::Read), (Pieces{{40, 30}}));
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 30, buffer.begin()));

    // The late ten are not lost: the next read gets them.
    ASSERT_TRUE(pty_->Write({bytes.begin() + 30, bytes.end()}));
    EXPECT_EQ(velmora::ReadCOM(handle_, buffer.data(), 10), 1);
    EXPECT_TRUE(std::equal(bytes.begin() + 30, bytes.end(), buffer.begin()));
}

TEST_F(OpenPort, FortyBytesOfWhichTenComeWithinTheTimeOutAreOneRead) {
    VirtualClock clock(VirtualClock::DefaultStart(), 5000);  // generous real slice: no time-out here
    platform::ScopedClock scoped(clock);
    const auto bytes = comtest::Pattern(40);
    std::thread device([&] {
        pty_->Write({bytes.begin(), bytes.begin() + 30});
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        pty_->Write({bytes.begin() + 30, bytes.end()});
    });
    std::vector<uint8_t> buffer(40);
    EXPECT_EQ(velmora::ReadCOM(handle_, buffer.data(), 40), 1);
    device.join();
    EXPECT_EQ(buffer, bytes);
    EXPECT_EQ(clock.NowMs(), 0u);
    EXPECT_EQ(PiecesOf(ComPiece::Kind::Read), (Pieces{{40, 40}}));
}

TEST_F(OpenPort, LongReadToleratesThreeShortPiecesAndGivesUpAtTheFourth) {
    // 4,600 bytes allow 4 short pieces. The device sends 1,000 bytes and then either nothing
    // or, after the third short piece, the rest.
    for (const bool restAfterThird : {false, true}) {
        SCOPED_TRACE(restAfterThird ? "rest arrives after the third short piece" : "rest never arrives");
        pieces_.clear();
        VirtualClock clock(VirtualClock::DefaultStart(), 300);
        platform::ScopedClock scoped(clock);
        const auto bytes = comtest::Pattern(4600, restAfterThird ? 3 : 5);
        int shortPieces = 0;
        onPiece_ = [&](const ComPiece& p) {
            if (p.moved < p.asked && ++shortPieces == 3 && restAfterThird)
                pty_->Write({bytes.begin() + 1000, bytes.end()});
        };
        ASSERT_TRUE(pty_->Write({bytes.begin(), bytes.begin() + 1000}));

        std::vector<uint8_t> buffer(4600);
        const int result = velmora::ReadCOM(handle_, buffer.data(), 4600);
        onPiece_ = nullptr;

        EXPECT_EQ(clock.SleptMs(), 300u);  // a 100 ms pause after each of the first three
        if (restAfterThird) {
            EXPECT_EQ(result, 1);
            EXPECT_EQ(buffer, bytes);
            EXPECT_EQ(PiecesOf(ComPiece::Kind::Read), (Pieces{{4096, 1000}, {3600, 0}, {3600, 0}, {3600, 3600}}));
            EXPECT_EQ(clock.NowMs(), (4096u + 10000u) + 2 * (3600u + 10000u) + 300u);
        } else {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(PiecesOf(ComPiece::Kind::Read), (Pieces{{4096, 1000}, {3600, 0}, {3600, 0}, {3600, 0}}));
            EXPECT_EQ(clock.NowMs(), (4096u + 10000u) + 3 * (3600u + 10000u) + 300u);
        }
    }
}

TEST_F(OpenPort, SeventyThousandBytesAreWrittenInTwoPieces) {
    const auto bytes = comtest::Pattern(70000);
    std::vector<uint8_t> received;
    std::thread device([&] { received = pty_->Read(bytes.size()); });
    EXPECT_EQ(velmora::WriteCOM(handle_, bytes.data(), static_cast<uint32_t>(bytes.size())), 1);
    device.join();
    EXPECT_EQ(PiecesOf(ComPiece::Kind::Write), (Pieces{{65536, 65536}, {4464, 4464}}));
    EXPECT_EQ(received, bytes);
}

TEST_F(OpenPort, WriteThatTheDeviceDoesNotTakeGivesUpAtItsTimeOut) {
    VirtualClock clock;
    platform::ScopedClock scoped(clock);
    const auto bytes = comtest::Pattern(70000);
    // Nobody reads the other end: the first piece fills the buffers and then waits out its
    // time-out; the second piece is never tried.
    EXPECT_EQ(velmora::WriteCOM(handle_, bytes.data(), static_cast<uint32_t>(bytes.size())), 0);
    const Pieces pieces = PiecesOf(ComPiece::Kind::Write);
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(pieces[0].first, 65536u);
    EXPECT_LT(pieces[0].second, 65536u);
    EXPECT_EQ(clock.NowMs(), 65536u + 10000u);
}

TEST_F(OpenPort, CloseAfterAWriteThatTimedOutDiscardsWhatIsStillQueued) {
    // A real serial port would send the queued bytes before its close returns, waiting up to
    // its closing wait (30 s by default). Here the queue is the other side's input: what the
    // close left queued is what the device would still have to take.
    VirtualClock clock;
    platform::ScopedClock scoped(clock);
    const auto bytes = comtest::Pattern(65536);
    ASSERT_EQ(velmora::WriteCOM(handle_, bytes.data(), static_cast<uint32_t>(bytes.size())), 0);
    const uint32_t taken = PiecesOf(ComPiece::Kind::Write).at(0).second;
    velmora::CloseCOM(handle_);
    handle_ = velmora::kInvalidComHandle;
    // The device's side had its own small buffer filled already; the rest is gone.
    const size_t delivered = pty_->Read(bytes.size(), 200).size();
    EXPECT_LT(delivered, taken);
    EXPECT_LE(delivered, 4096u);
}

TEST_F(OpenPort, HangUpEndsAPendingReadAtOnce) {
    // Real clock: the read would wait 10,040 ms if the hang-up went unnoticed.
    std::thread device([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        pty_->CloseMaster();
    });
    const auto start = std::chrono::steady_clock::now();
    std::vector<uint8_t> buffer(40);
    EXPECT_EQ(velmora::ReadCOM(handle_, buffer.data(), 40), 0);
    EXPECT_LT(comtest::ElapsedMs(start), 3000);
    device.join();

    const auto later = std::chrono::steady_clock::now();
    EXPECT_EQ(velmora::WriteCOM(handle_, buffer.data(), 40), 0);
    EXPECT_EQ(velmora::ReadCOM(handle_, buffer.data(), 4600), 0);  // no pauses after a hang-up
    EXPECT_LT(comtest::ElapsedMs(later), 3000);

    // The published link now leads nowhere, so the lookup leaves the port out.
    int ports[2] = {};
    EXPECT_EQ(velmora::FindComPortsInList(0x0A1F, ports, 2, "0A1F=" + pty_->link), 0);
}

TEST_F(OpenPort, EveryByteValuePassesUnchangedBothWays) {
    // Control characters a cooked line would act on come first: CR, LF, ^C, ESC, XON, XOFF,
    // ^D, DEL, ^Z; then every value twice.
    std::vector<uint8_t> bytes = {'\r', '\n', '\r', 0x03, 0x1B, 0x11, 0x13, 0x04, 0x7F, 0x1A, 0x00, 0xFF};
    for (int round = 0; round < 2; ++round)
        for (int v = 0; v < 256; ++v) bytes.push_back(static_cast<uint8_t>(v));

    ASSERT_TRUE(pty_->Write(bytes));
    std::vector<uint8_t> in(bytes.size());
    EXPECT_EQ(velmora::ReadCOM(handle_, in.data(), static_cast<uint32_t>(in.size())), 1);
    EXPECT_EQ(in, bytes);

    // XOFF came in above; output must not be held back by it.
    EXPECT_EQ(velmora::WriteCOM(handle_, bytes.data(), static_cast<uint32_t>(bytes.size())), 1);
    EXPECT_EQ(pty_->Read(bytes.size()), bytes);
    // Nothing was echoed or added.
    EXPECT_TRUE(pty_->Read(1, 100).empty());
}

TEST_F(OpenPort, InvalidHandleAndEmptyTransfers) {
    uint8_t byte = 0;
    EXPECT_EQ(velmora::WriteCOM(velmora::kInvalidComHandle, &byte, 1), 0);
    EXPECT_EQ(velmora::ReadCOM(velmora::kInvalidComHandle, &byte, 1), 0);
    EXPECT_EQ(velmora::WriteCOM(handle_, nullptr, 0), 1);
    EXPECT_EQ(velmora::ReadCOM(handle_, nullptr, 0), 1);
    EXPECT_EQ(velmora::ReadCOM(handle_, nullptr, 1), 0);
    EXPECT_TRUE(pieces_.empty());
    velmora::CloseCOM(velmora::kInvalidComHandle);  // ignored
}

}  // namespace
