// The Windows backend of the USB driver boundary. Wine has no such driver, so the backend's own
// machinery (opening a path, direct and overlapped requests, polling, cancelling a request that
// is given up, synchronous pipe writes) runs against the other end of a named pipe, which takes
// the same calls; the requests of the driver itself are covered by the emulated driver's tests.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "transport/usbio_driver.h"
#include "transport/usbio_windows.h"

namespace {

using namespace usbio;

class PipeEnd {
public:
    PipeEnd() {
        static int counter = 0;
        name_ = "\\\\.\\pipe\\quillon-usbio-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
        h_ = CreateNamedPipeA(name_.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1,
                              4096, 4096, 0, nullptr);
    }
    ~PipeEnd() {
        if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    }
    const std::string& Name() const { return name_; }
    bool Ok() const { return h_ != INVALID_HANDLE_VALUE; }
    void Write(const std::string& bytes) {
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(h_, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr));
        ASSERT_EQ(n, bytes.size());
    }
    std::string Read(size_t len) {
        std::string out(len, '\0');
        size_t got = 0;
        while (got < len) {
            DWORD n = 0;
            if (!ReadFile(h_, out.data() + got, static_cast<DWORD>(len - got), &n, nullptr) || n == 0) break;
            got += n;
        }
        out.resize(got);
        return out;
    }

private:
    std::string name_;
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

// Polls a transfer as the access layer does, for at most about two seconds.
Status PollUntilDone(Transfer& t, uint32_t* count) {
    for (int i = 0; i < 2000; ++i) {
        const Status s = t.Poll(count);
        if (s != kIoIncomplete) return s;
        Sleep(1);
    }
    return kIoIncomplete;
}

class WindowsBackend : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.Ok()); }
    std::unique_ptr<Handle> Open(bool overlapped) {
        Status error = kSuccess;
        auto h = SystemDriver().OpenPath(server.Name(), overlapped, &error);
        EXPECT_NE(h, nullptr) << std::hex << error;
        return h;
    }
    PipeEnd server;
};

TEST_F(WindowsBackend, OverlappedReadStaysIncompleteUntilBytesArrive) {
    auto pipe = Open(true);
    ASSERT_NE(pipe, nullptr);
    uint8_t buffer[8] = {};
    auto t = pipe->BeginReadPipe(buffer, sizeof buffer);
    uint32_t count = 99;
    EXPECT_EQ(t->Poll(&count), kIoIncomplete);
    EXPECT_EQ(t->Poll(&count), kIoIncomplete);
    server.Write("hello");
    EXPECT_EQ(PollUntilDone(*t, &count), kSuccess);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 5), "hello");
    // The same answer on every later call.
    EXPECT_EQ(t->Poll(&count), kSuccess);
    EXPECT_EQ(count, 5u);
}

TEST_F(WindowsBackend, ReadGivenUpIsCancelledAndLeavesItsBufferAlone) {
    auto pipe = Open(true);
    ASSERT_NE(pipe, nullptr);
    std::vector<uint8_t> buffer(8, 0xEE);
    {
        auto t = pipe->BeginReadPipe(buffer.data(), static_cast<uint32_t>(buffer.size()));
        uint32_t count = 0;
        ASSERT_EQ(t->Poll(&count), kIoIncomplete);
    }  // destroyed while pending: cancelled and waited for
    server.Write("late");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(buffer, std::vector<uint8_t>(8, 0xEE));
    // The bytes are still there for the next read.
    uint8_t again[4] = {};
    auto next = pipe->BeginReadPipe(again, sizeof again);
    uint32_t count = 0;
    EXPECT_EQ(PollUntilDone(*next, &count), kSuccess);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(again), count), "late");
}

TEST_F(WindowsBackend, DirectPipeWriteDeliversEveryByte) {
    auto pipe = Open(false);
    ASSERT_NE(pipe, nullptr);
    std::string data(130, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i);
    std::string received;
    std::thread reader([&] { received = server.Read(data.size()); });
    uint32_t written = 0;
    EXPECT_EQ(pipe->WritePipe(reinterpret_cast<const uint8_t*>(data.data()), 130, &written), kSuccess);
    reader.join();
    EXPECT_EQ(written, 130u);
    EXPECT_EQ(received, data);
}

TEST(WindowsBackendRequests, DriverRequestToSomethingElseFailsWithTheSystemsError) {
    for (bool overlapped : {false, true}) {
        PipeEnd server;  // one client per pipe
        ASSERT_TRUE(server.Ok());
        Status error = kSuccess;
        auto handle = SystemDriver().OpenPath(server.Name(), overlapped, &error);
        ASSERT_NE(handle, nullptr) << std::hex << error;
        uint8_t value = 0;
        uint32_t count = 7;
        const Status direct = handle->Ioctl(kIoctlGetConfiguration, nullptr, 0, &value, 1, &count);
        EXPECT_NE(direct, kSuccess) << overlapped;
        EXPECT_NE(direct, kIoPending);
        EXPECT_NE(direct, kIoIncomplete);
        EXPECT_EQ(count, 0u);
        uint8_t info[kDriverInfoSize] = {};
        auto t = handle->BeginIoctl(kIoctlGetDriverInfo, nullptr, 0, info, sizeof info);
        const Status polled = PollUntilDone(*t, &count);
        EXPECT_NE(polled, kSuccess) << overlapped;
        EXPECT_NE(polled, kIoIncomplete);
    }
}

TEST(WindowsBackendPaths, MissingPathIsNoDevice) {
    Status error = kSuccess;
    EXPECT_EQ(SystemDriver().OpenPath("\\\\.\\pipe\\quillon-nobody-listens", true, &error), nullptr);
    EXPECT_EQ(error, kStatusNoDevice);
}

TEST(WindowsBackendPaths, OpenErrorsBecomeDriverStatuses) {
    const struct {
        DWORD error;
        Status status;
    } cases[] = {
        {ERROR_FILE_NOT_FOUND, kStatusNoDevice},     {ERROR_PATH_NOT_FOUND, kStatusNoDevice},
        {ERROR_DEVICE_NOT_CONNECTED, kStatusNoDevice}, {ERROR_ACCESS_DENIED, kStatusAccessDenied},
        {ERROR_SHARING_VIOLATION, kStatusBusy},      {ERROR_BUSY, kStatusBusy},
        {ERROR_GEN_FAILURE, ERROR_GEN_FAILURE},
    };
    for (const auto& c : cases) EXPECT_EQ(StatusFromWindowsError(c.error), c.status) << c.error;
}

TEST(WindowsBackendPaths, NoDeviceOfTheDriversInterfaceClassUnderWine) {
    std::string path = "unchanged";
    EXPECT_NE(SystemDriver().DeviceInterface(0, &path), Enumeration::Found);
    EXPECT_EQ(path, "unchanged");
}

}  // namespace
