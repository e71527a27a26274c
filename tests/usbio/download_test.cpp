// The download thread of the older family: blocks, progress, the finishing work after the
// last block, failures, and the thread's end.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <new>
#include <thread>

#include "platform/named_mutex.h"
#include "tests/usbio/usbio_fixture.h"
#include "transport/usb_communication.h"

using namespace velmora;
using quillon_sim::UsbioFault;
using usbiotest::Older;

// Array allocations of this test program go through malloc and free, so a test can watch one
// buffer being released.
namespace {
std::atomic<const void*> g_watched{nullptr};
std::atomic<bool> g_watchedFreed{false};
}  // namespace

void* operator new[](std::size_t n) {
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete[](void* p) noexcept {
    if (p && p == g_watched.load()) g_watchedFreed = true;
    std::free(p);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return std::malloc(n ? n : 1); }
void operator delete[](void* p, std::size_t) noexcept { operator delete[](p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { operator delete[](p); }

namespace {

// An update-data frame of the older family as the device expects it: length (big-endian,
// counting command, data and sum), 1B 69 55 64, 16 header bytes and the data, their sum.
std::vector<uint8_t> UpdateFrame(size_t total) {
    const size_t n = total - 12;
    std::vector<uint8_t> f(total, 0);
    const uint32_t length = static_cast<uint32_t>(n + 8);
    for (int i = 0; i < 4; ++i) f[static_cast<size_t>(i)] = static_cast<uint8_t>(length >> (24 - 8 * i));
    f[4] = 0x1B;
    f[5] = 0x69;
    f[6] = 0x55;
    f[7] = 0x64;
    uint32_t sum = 0;
    for (size_t i = 0; i < n; ++i) {
        f[8 + i] = static_cast<uint8_t>(i < 16 ? (i == 1 ? 2 : 0) : (i * 13 + 5));
        sum += f[8 + i];
    }
    for (int i = 0; i < 4; ++i) f[8 + n + static_cast<size_t>(i)] = static_cast<uint8_t>(sum >> (24 - 8 * i));
    return f;
}

std::unique_ptr<uint8_t[]> Copy(const std::vector<uint8_t>& bytes, bool watch = false) {
    auto p = std::unique_ptr<uint8_t[]>(new uint8_t[bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), p.get());
    if (watch) {
        g_watchedFreed = false;
        g_watched = p.get();
    }
    return p;
}

class Download : public usbiotest::UsbioTest {
protected:
    void SetUp() override {
        UsbioTest::SetUp();
        dev = driver.AddDevice(Older(640, "A12345", /*bootLoader=*/true));
        c = std::make_unique<CUSBCommunication>();
        int ex = 0;
        ASSERT_EQ(c->Open(nullptr, 0, &ex), 1);
        ASSERT_EQ(c->runsApplication, 0);
    }
    void TearDown() override {
        driver.SetBulkOutGate(dev, false);
        if (c) c->Close();
        c.reset();
        g_watched = nullptr;
        UsbioTest::TearDown();
    }
    template <typename Done>
    int PollUntil(Done done) {
        return usbiotest::PollDownloadProgress(c.get(), done);
    }
    int Finish() {
        return PollUntil([](int p) { return p < 0 || p == 100; });
    }
    std::vector<std::vector<uint8_t>> Writes() { return driver.BulkOutWrites(dev); }
    std::vector<uint8_t> Joined(size_t count) {
        std::vector<uint8_t> out;
        const auto w = Writes();
        for (size_t i = 0; i < count && i < w.size(); ++i) out.insert(out.end(), w[i].begin(), w[i].end());
        return out;
    }
    std::string DownloadMutexName() { return std::string("VelmoraMutexForFirmwareUpdate") + ModuleTag(); }

    int dev = 0;
    std::unique_ptr<CUSBCommunication> c;
};

TEST_F(Download, ImageOf250BytesGoesIn99BlocksOf2AndOneOf52) {
    const std::vector<uint8_t> frame = UpdateFrame(250);
    driver.SetBulkOutGate(dev, true);
    ASSERT_EQ(c->StartDownload(Copy(frame), 250), 1);
    EXPECT_EQ(c->GetDownloadProgress(), 0);
    // One block at a time: the progress follows the bytes sent (2 of 250 per block).
    for (int k = 1; k <= 99; ++k) {
        driver.AllowBulkOut(dev, 1);
        ASSERT_TRUE(driver.WaitForBulkOutWrites(dev, static_cast<size_t>(k), std::chrono::seconds(10)));
        ASSERT_TRUE(driver.WaitForHeldWrite(dev, std::chrono::seconds(10)));
        EXPECT_EQ(c->GetDownloadProgress(), 2 * k * 100 / 250) << k;
    }
    EXPECT_EQ(c->GetDownloadProgress(), 79);
    driver.SetBulkOutGate(dev, false);
    EXPECT_EQ(Finish(), 100);

    const auto writes = Writes();
    ASSERT_EQ(writes.size(), 101u);  // 100 blocks and the update-mode frame
    for (int i = 0; i < 99; ++i) EXPECT_EQ(writes[static_cast<size_t>(i)].size(), 2u);
    EXPECT_EQ(writes[99].size(), 52u);
    EXPECT_EQ(Joined(100), frame);
    // Every block and the update-mode frame went out after the zero-length vendor request.
    EXPECT_EQ(driver.CountRequests(dev, usbio::kIoctlClassOrVendorOutRequest), 101u);
    // The device took the image, left update mode and came back with its application.
    EXPECT_EQ(driver.UpdateData(dev), std::vector<uint8_t>(frame.begin() + 8, frame.end() - 4));
    const auto frames = driver.Frames(dev);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].size(), 24u);
    EXPECT_EQ(frames[1][4], 0x1B);
    EXPECT_EQ(frames[1][7], 0x41);
    EXPECT_EQ(frames[1][9], 0);  // mode 0
    EXPECT_EQ(driver.Restarts(dev), 1);
    EXPECT_FALSE(driver.BootLoader(dev));
    EXPECT_EQ(c->IsOpen(), 1);
    EXPECT_EQ(c->runsApplication, 1);

    // The finishing work ran once; later calls report its result.
    EXPECT_EQ(c->GetDownloadProgress(), 100);
    EXPECT_EQ(Writes().size(), 101u);
}

TEST_F(Download, ImageOf50BytesHas99EmptyBlocks) {
    const std::vector<uint8_t> frame = UpdateFrame(50);
    ASSERT_EQ(c->StartDownload(Copy(frame), 50), 1);
    EXPECT_EQ(Finish(), 100);
    const auto writes = Writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0], frame);
    EXPECT_EQ(driver.CountRequests(dev, usbio::kIoctlClassOrVendorOutRequest), 101u);
    EXPECT_EQ(driver.UpdateData(dev), std::vector<uint8_t>(frame.begin() + 8, frame.end() - 4));
}

TEST_F(Download, WriteFailureInBlock10EndsTheThread) {
    driver.SetFault(dev, UsbioFault::BulkOutFailsAfter, 20);
    ASSERT_EQ(c->StartDownload(Copy(UpdateFrame(250), true), 250), 1);
    EXPECT_EQ(PollUntil([](int p) { return p < 0; }), -1);
    // The thread has ended and freed the image; no further block went out.
    EXPECT_TRUE(g_watchedFreed.load());
    EXPECT_EQ(Writes().size(), 10u);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(c->GetDownloadProgress(), -1);
    EXPECT_EQ(Writes().size(), 10u);
    EXPECT_EQ(NewLinesWith("USBWrite (written=").size(), 1u);
}

TEST_F(Download, ProgressWhileTheMutexIsHeldElsewhere) {
    const std::vector<uint8_t> frame = UpdateFrame(1000);  // blocks of 10 bytes: one per cent each
    driver.SetBulkOutGate(dev, true);
    ASSERT_EQ(c->StartDownload(Copy(frame), 1000), 1);
    driver.AllowBulkOut(dev, 3);
    ASSERT_TRUE(driver.WaitForBulkOutWrites(dev, 3, std::chrono::seconds(10)));
    ASSERT_TRUE(driver.WaitForHeldWrite(dev, std::chrono::seconds(10)));
    EXPECT_EQ(c->GetDownloadProgress(), 3);

    std::promise<void> held, release;
    std::thread holder([&] {
        auto m = platform::CreateNamedMutex(DownloadMutexName());
        const bool locked = m && m->Lock(0) == platform::WaitResult::Acquired;
        held.set_value();
        release.get_future().wait();
        if (locked) m->Unlock();
    });
    held.get_future().wait();
    const uint64_t before = clock.NowMs();
    EXPECT_EQ(c->GetDownloadProgress(), -1);
    EXPECT_GE(clock.NowMs() - before, 500u);
    // The thread goes on sending although it cannot publish its count.
    driver.AllowBulkOut(dev, 5);
    ASSERT_TRUE(driver.WaitForBulkOutWrites(dev, 8, std::chrono::seconds(10)));
    ASSERT_TRUE(driver.WaitForHeldWrite(dev, std::chrono::seconds(10)));
    EXPECT_EQ(c->GetDownloadProgress(), -1);
    release.set_value();
    holder.join();
    // Nothing was published while the mutex was held elsewhere.
    EXPECT_EQ(c->GetDownloadProgress(), 3);

    // The next count it publishes includes every block sent meanwhile, each once.
    driver.AllowBulkOut(dev, 1);
    ASSERT_TRUE(driver.WaitForBulkOutWrites(dev, 9, std::chrono::seconds(10)));
    ASSERT_TRUE(driver.WaitForHeldWrite(dev, std::chrono::seconds(10)));
    EXPECT_EQ(c->GetDownloadProgress(), 9);
    driver.SetBulkOutGate(dev, false);
    EXPECT_EQ(Finish(), 100);
    EXPECT_EQ(Joined(100), frame);
    EXPECT_EQ(driver.UpdateData(dev), std::vector<uint8_t>(frame.begin() + 8, frame.end() - 4));
}

TEST_F(Download, DeviceBackInItsBootLoaderGivesMinus5) {
    driver.SetFault(dev, UsbioFault::StayInBootLoader);
    ASSERT_EQ(c->StartDownload(Copy(UpdateFrame(250)), 250), 1);
    EXPECT_EQ(Finish(), -5);
    EXPECT_EQ(c->IsOpen(), 1);
    EXPECT_EQ(c->runsApplication, 0);
    EXPECT_EQ(c->GetDownloadProgress(), -5);
}

TEST_F(Download, DeviceThatDoesNotComeBackGivesMinus3) {
    driver.SetFault(dev, UsbioFault::NeverReturn);
    ASSERT_EQ(c->StartDownload(Copy(UpdateFrame(250)), 250), 1);
    const uint64_t slept = clock.SleptMs();
    EXPECT_EQ(Finish(), -3);
    EXPECT_GE(clock.SleptMs() - slept, 500u + 12 * 1000u);
    EXPECT_EQ(c->IsOpen(), 0);
    EXPECT_EQ(NewLinesWith("CUSBCommunication::Open / Error 07").size(), 12u);
}

TEST_F(Download, FailedUpdateModeCommandGivesMinus2) {
    driver.SetFault(dev, UsbioFault::BulkOutFailsAfter, 250);
    ASSERT_EQ(c->StartDownload(Copy(UpdateFrame(250)), 250), 1);
    EXPECT_EQ(Finish(), -2);
    EXPECT_EQ(driver.Restarts(dev), 0);
}

TEST_F(Download, OneDownloadAtATime) {
    driver.SetBulkOutGate(dev, true);
    ASSERT_EQ(c->StartDownload(Copy(UpdateFrame(250)), 250), 1);
    EXPECT_EQ(c->StartDownload(Copy(UpdateFrame(100), true), 100), -1);
    EXPECT_TRUE(g_watchedFreed.load());  // a download that does not start frees its image
    EXPECT_EQ(c->StartDownload(nullptr, 10), -1);
    driver.SetBulkOutGate(dev, false);
    EXPECT_EQ(Finish(), 100);

    // After the end a new download starts on the same channel.
    EXPECT_EQ(c->StartDownload(Copy(UpdateFrame(50)), 0), -1);
}

TEST_F(Download, CloseEndsARunningDownload) {
    driver.SetBulkOutGate(dev, true);
    ASSERT_EQ(c->StartDownload(Copy(UpdateFrame(250), true), 250), 1);
    driver.AllowBulkOut(dev, 2);
    ASSERT_TRUE(driver.WaitForBulkOutWrites(dev, 2, std::chrono::seconds(10)));
    ASSERT_TRUE(driver.WaitForHeldWrite(dev, std::chrono::seconds(10)));
    // The block in flight completes; none follows it.
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        driver.AllowBulkOut(dev, 1);
    });
    EXPECT_EQ(c->Close(), 1);
    late.join();
    EXPECT_TRUE(g_watchedFreed.load());
    driver.SetBulkOutGate(dev, false);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(Writes().size(), 3u);
    EXPECT_EQ(c->GetDownloadProgress(), -1);
    EXPECT_EQ(driver.OpenHandles(dev), 0);
}

TEST_F(Download, DestroyingTheChannelEndsARunningDownload) {
    driver.SetBulkOutGate(dev, true);
    ASSERT_EQ(c->StartDownload(Copy(UpdateFrame(250), true), 250), 1);
    driver.AllowBulkOut(dev, 1);
    ASSERT_TRUE(driver.WaitForBulkOutWrites(dev, 1, std::chrono::seconds(10)));
    ASSERT_TRUE(driver.WaitForHeldWrite(dev, std::chrono::seconds(10)));
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        driver.AllowBulkOut(dev, 1);
    });
    c.reset();
    late.join();
    EXPECT_TRUE(g_watchedFreed.load());
    EXPECT_EQ(Writes().size(), 2u);
    EXPECT_EQ(driver.OpenHandles(dev), 0);
}

// A download mutex that cannot be created: the lock folder is gone. Runs in a fresh process,
// since mutexes this process already made stay known to it.
class DownloadDeathTest : public Download {};

TEST_F(DownloadDeathTest, MutexThatCannotBeCreatedGivesMinus2) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv("VELMORA_LOCK_DIR", (dir / "missing").c_str(), 1);
            const int result = c->StartDownload(Copy(UpdateFrame(250), true), 250);
            const bool freed = g_watchedFreed.load();
            const int progress = c->GetDownloadProgress();
            std::exit(result == -2 && freed && progress == -1 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
