// The Windows platform layer under Wine: clock, named mutexes across processes, the shared log
// file and its security descriptor, the event log, system facts, the companion program's
// registry setting, the host name.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/event_log.h"
#include "platform/files.h"
#include "platform/host.h"
#include "platform/named_mutex.h"
#include "platform/settings.h"
#include "platform/system_info.h"
#include "platform/windows/files_windows.h"
#include "tests/support/temp_dir.h"

namespace {

std::string HelperPath(const char* name) {
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string path = self;
    return path.substr(0, path.find_last_of('\\') + 1) + name;
}

// ---------------------------------------------------------------------------------------
// Clock

TEST(WindowsClock, LocalTimeIsTheSystemsAndSteadyTimeMovesWithSleeps) {
    platform::Clock& clock = platform::GetClock();
    SYSTEMTIME before;
    GetLocalTime(&before);
    const platform::LocalTime t = clock.LocalNow();
    EXPECT_EQ(t.year, before.wYear);
    EXPECT_EQ(t.month, before.wMonth);
    EXPECT_EQ(t.day, before.wDay);
    EXPECT_EQ(t.dayOfWeek, before.wDayOfWeek);
    EXPECT_GE(t.millisecond, 0);
    EXPECT_LT(t.millisecond, 1000);
    const uint64_t start = clock.NowMs();
    clock.SleepMs(60);
    const uint64_t slept = clock.NowMs() - start;
    EXPECT_GE(slept, 55u);
    EXPECT_LT(slept, 10000u);  // measured, not an invented figure (room for a busy machine)
}

// ---------------------------------------------------------------------------------------
// Named mutexes

class OtherProcess {
public:
    OtherProcess(const std::string& name, const char* mode) : name_(name) {
        held_ = CreateEventA(nullptr, TRUE, FALSE, (name + "-held").c_str());
        go_ = CreateEventA(nullptr, TRUE, FALSE, (name + "-go").c_str());
        if (!held_ || !go_) why_ = "CreateEventA failed, error " + std::to_string(GetLastError());
        const std::string command = "\"" + HelperPath("mutex_holder.exe") + "\" " + name + " " + mode;
        // A start refused for a moment (a busy Wine server) is tried again before the test fails.
        for (int attempt = 0; attempt < 3 && !started_ && held_ && go_; ++attempt) {
            if (attempt) Sleep(200);
            std::string line = command;
            STARTUPINFOA si{};
            si.cb = sizeof si;
            started_ = CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi_);
            if (!started_) why_ = "CreateProcessA(" + command + ") failed, error " + std::to_string(GetLastError());
        }
    }
    ~OtherProcess() {
        Go();
        if (started_) {
            WaitForSingleObject(pi_.hProcess, 10000);
            CloseHandle(pi_.hThread);
            CloseHandle(pi_.hProcess);
        }
        CloseHandle(held_);
        CloseHandle(go_);
    }
    bool WaitHeld() {
        if (!started_) return false;
        const DWORD waited = WaitForSingleObject(held_, 10000);
        if (waited != WAIT_OBJECT_0)
            why_ = "the holder did not say it holds the mutex: wait result " + std::to_string(waited) + ", error " +
                   std::to_string(GetLastError());
        return waited == WAIT_OBJECT_0;
    }
    // Why the other process is not there or did not answer.
    const std::string& Why() const { return why_; }
    void Go() { SetEvent(go_); }
    bool WaitEnded() { return started_ && WaitForSingleObject(pi_.hProcess, 10000) == WAIT_OBJECT_0; }

private:
    std::string name_;
    std::string why_;
    HANDLE held_ = nullptr;
    HANDLE go_ = nullptr;
    PROCESS_INFORMATION pi_{};
    bool started_ = false;
};

std::string UniqueName(const char* what) {
    static int counter = 0;
    return std::string("QuillonTest") + what + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++counter);
}

TEST(WindowsNamedMutex, HeldByAnotherProcessUntilItEndsWithoutReleasing) {
    const std::string name = UniqueName("Abandon");
    auto m = platform::CreateNamedMutex(name);
    ASSERT_NE(m, nullptr);
    OtherProcess other(name, "abandon");
    ASSERT_TRUE(other.WaitHeld()) << other.Why();
    EXPECT_EQ(m->Lock(100), platform::WaitResult::TimedOut);
    other.Go();
    ASSERT_TRUE(other.WaitEnded());
    // Abandoned by its owner: the next wait obtains it.
    EXPECT_EQ(m->Lock(5000), platform::WaitResult::Acquired);
    EXPECT_TRUE(m->Unlock());
}

TEST(WindowsNamedMutex, ReleasedByAnotherProcessIsObtained) {
    const std::string name = UniqueName("Release");
    auto m = platform::CreateNamedMutex(name);
    ASSERT_NE(m, nullptr);
    OtherProcess other(name, "release");
    ASSERT_TRUE(other.WaitHeld()) << other.Why();
    other.Go();
    EXPECT_EQ(m->Lock(5000), platform::WaitResult::Acquired);
    EXPECT_TRUE(m->Unlock());
}

TEST(WindowsNamedMutex, WaitIsMeasuredOnTheInstalledClock) {
    const std::string name = UniqueName("Virtual");
    auto m = platform::CreateNamedMutex(name);
    ASSERT_NE(m, nullptr);
    OtherProcess other(name, "release");
    ASSERT_TRUE(other.WaitHeld()) << other.Why();
    platform::VirtualClock clock;
    platform::ScopedClock use(clock);
    const uint64_t start = clock.NowMs();
    EXPECT_EQ(m->Lock(20000), platform::WaitResult::TimedOut);
    EXPECT_GE(clock.NowMs() - start, 20000u);
}

TEST(WindowsNamedMutex, RecursiveForItsThreadAndOnlyTheHolderReleases) {
    auto a = platform::CreateNamedMutex(UniqueName("Recursive"));
    ASSERT_NE(a, nullptr);
    auto b = platform::CreateNamedMutex(a->Name());  // the same mutex, another handle
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(a->Lock(0), platform::WaitResult::Acquired);
    EXPECT_EQ(b->Lock(0), platform::WaitResult::Acquired);
    bool otherThreadUnlocked = true;
    platform::WaitResult otherThreadLock = platform::WaitResult::Acquired;
    std::thread([&] {
        otherThreadUnlocked = b->Unlock();
        otherThreadLock = b->Lock(50);
    }).join();
    EXPECT_FALSE(otherThreadUnlocked);
    EXPECT_EQ(otherThreadLock, platform::WaitResult::TimedOut);
    EXPECT_TRUE(a->Unlock());
    EXPECT_TRUE(b->Unlock());
    EXPECT_FALSE(a->Unlock());
}

TEST(WindowsNamedMutex, NameTakenByAnotherKindOfObjectCannotBeCreated) {
    const std::string name = UniqueName("Taken");
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    ASSERT_NE(event, nullptr);
    int error = 0;
    EXPECT_EQ(platform::CreateNamedMutex(name, &error), nullptr);
    EXPECT_EQ(error, ERROR_INVALID_HANDLE);
    CloseHandle(event);
}

// ---------------------------------------------------------------------------------------
// Shared log file

// Wine keeps a file's access rights as its Unix mode, less the umask, so what it reads back is
// not the descriptor given at creation: the creation is checked here, and the descriptor that
// CreateSharedFile hands to CreateFileA is checked below.
TEST(WindowsFiles, SharedFileIsCreatedOnlyWhereNothingIs) {
    testsupport::TempDir dir;
    const std::string path = dir.path() + "\\shared.log";
    int error = 0;
    ASSERT_TRUE(platform::CreateSharedFile(path, &error)) << error;
    EXPECT_FALSE(platform::CreateSharedFile(path, &error));
    EXPECT_EQ(error, ERROR_FILE_EXISTS);
}

TEST(WindowsFiles, SharedFileLetsEveryoneReadAndAppendOnly) {
    const bool built = platform::WithSharedFileSecurity([](SECURITY_ATTRIBUTES* attributes) {
        BOOL present = FALSE, defaulted = FALSE;
        PACL acl = nullptr;
        ASSERT_TRUE(GetSecurityDescriptorDacl(attributes->lpSecurityDescriptor, &present, &acl, &defaulted));
        ASSERT_TRUE(present && acl);
        ASSERT_EQ(acl->AceCount, 1);
        void* entry = nullptr;
        ASSERT_TRUE(GetAce(acl, 0, &entry));
        const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
        PSID everyone = nullptr;
        ASSERT_TRUE(AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone));
        EXPECT_TRUE(EqualSid(const_cast<DWORD*>(&ace->SidStart), everyone));
        FreeSid(everyone);
        // Read (what GENERIC_READ asks for), append, wait: granted.
        EXPECT_EQ(ace->Mask & (FILE_GENERIC_READ | FILE_APPEND_DATA), FILE_GENERIC_READ | FILE_APPEND_DATA);
        // Nothing else: no writing over lines, deleting, or changing permissions or owner.
        EXPECT_EQ(ace->Mask & ~(FILE_GENERIC_READ | FILE_APPEND_DATA), 0u) << std::hex << ace->Mask;
        EXPECT_EQ(ace->Mask & (WRITE_DAC | WRITE_OWNER | DELETE | FILE_WRITE_DATA | GENERIC_ALL | GENERIC_WRITE), 0u);
    });
    EXPECT_TRUE(built);
}

TEST(WindowsFiles, LinesAreAppendedAndProbesTellMissingFromReadable) {
    testsupport::TempDir dir;
    const std::string path = dir.path() + "\\log.txt";
    EXPECT_EQ(platform::ProbeReadable(path), platform::ReadProbe::Missing);
    EXPECT_FALSE(platform::AppendBytes(path, "x", 1));  // appends only to what exists
    ASSERT_TRUE(platform::CreateForWriting(path));
    EXPECT_EQ(platform::ProbeReadable(path), platform::ReadProbe::Readable);
    EXPECT_TRUE(platform::AppendBytes(path, "one\r\n", 5));
    EXPECT_TRUE(platform::AppendBytes(path, "two\r\n", 5));
    EXPECT_TRUE(platform::CreateForWriting(path));  // an existing file keeps its content
    EXPECT_EQ(testsupport::ReadFile(path), "one\r\ntwo\r\n");
    EXPECT_EQ(platform::ProbeReadable(dir.path() + "\\missing\\log.txt"), platform::ReadProbe::Missing);
}

// ---------------------------------------------------------------------------------------
// Event log, system facts

TEST(WindowsEventLog, EventGoesToTheSystemsEventLog) {
    platform::Event e;
    e.source = "Velmora";
    e.type = EVENTLOG_INFORMATION_TYPE;
    e.category = 3;
    e.eventId = 0x60000100;
    e.text = "To switch on Velmora logfile put the file VelmoraLog.cfg to path \"C:\\ProgramData\\Kalder\".";
    EXPECT_TRUE(platform::GetEventSink().Report(e));
}

TEST(WindowsSystemInfo, CommonAppDataIsTheShellFolderUnlessTheVariableNamesAnother) {
    platform::UnsetEnv("VELMORA_COMMON_APPDATA");
    char expected[MAX_PATH] = {};
    ASSERT_EQ(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, expected), S_OK);
    std::string folder;
    ASSERT_EQ(platform::CommonAppDataFolder(&folder), 1);
    EXPECT_EQ(folder, expected);

    testsupport::TempDir dir;
    ASSERT_TRUE(platform::SetEnv("VELMORA_COMMON_APPDATA", dir.path()));
    ASSERT_EQ(platform::CommonAppDataFolder(&folder), 1);
    EXPECT_EQ(folder, dir.path());
    ASSERT_TRUE(platform::SetEnv("VELMORA_COMMON_APPDATA", dir.path() + "\\absent"));
    EXPECT_EQ(platform::CommonAppDataFolder(&folder), -1);
    ASSERT_TRUE(platform::UnsetEnv("VELMORA_COMMON_APPDATA"));
    EXPECT_EQ(platform::GetEnv("VELMORA_COMMON_APPDATA"), "");
}

TEST(WindowsSystemInfo, ProgramModuleOsAndProcessor) {
    const std::string program = platform::ProgramPath();
    EXPECT_EQ(program.substr(program.find_last_of('\\') + 1), "test_platform.exe");
    EXPECT_EQ(platform::ModuleNumber(),
              static_cast<uint32_t>(reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr))));

    const platform::OsFacts os = platform::GetOsFacts();
    EXPECT_EQ(os.bits, 64);  // a 64-bit program runs on 64-bit Windows only
    EXPECT_GE(os.major, 5);
    EXPECT_EQ(os.platformId, VER_PLATFORM_WIN32_NT);

    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const platform::ProcessorFacts cpu = platform::GetProcessorFacts();
    EXPECT_EQ(cpu.count, static_cast<int>(info.dwNumberOfProcessors));
    EXPECT_EQ(cpu.type, static_cast<int>(info.dwProcessorType));
    EXPECT_EQ(cpu.activeMask, static_cast<uint32_t>(info.dwActiveProcessorMask));
    EXPECT_EQ(cpu.minAddress, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(info.lpMinimumApplicationAddress)));
    EXPECT_EQ(cpu.maxAddress, 0xFFFFFFFFu);  // above 4 GiB: shown as the 32-bit limit

    char user[257] = {};
    DWORD size = sizeof user;
    ASSERT_TRUE(GetUserNameA(user, &size));
    EXPECT_EQ(platform::UserName(), user);
}

// ---------------------------------------------------------------------------------------
// The companion program's setting in HKEY_CURRENT_USER

class CompanionSetting : public ::testing::Test {
protected:
    static constexpr const wchar_t* kKeyW = L"Software\\QuillonTest\\Tavlo GRAPHIC\\";
    static constexpr const char* kKey = "Software\\QuillonTest\\Tavlo GRAPHIC\\";
    void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\QuillonTest"); }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\QuillonTest"); }
    void Set(const wchar_t* name, const std::wstring& value) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kKeyW, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
};

TEST_F(CompanionSetting, ValueIsReadFromTheCurrentUsersKey) {
    std::string value = "0";
    EXPECT_EQ(platform::ReadRegistryString("DataToDatabase", kKey, &value), 0);  // no key
    EXPECT_EQ(value, "0");
    Set(L"DataToDatabase", L"1");
    EXPECT_EQ(platform::ReadRegistryString("DataToDatabase", kKey, &value), 1);
    EXPECT_EQ(value, "1");
    EXPECT_EQ(platform::ReadRegistryString("datatodatabase", kKey, &value), 1);  // names ignore case
    value = "unchanged";
    EXPECT_EQ(platform::ReadRegistryString("Missing", kKey, &value), 0);
    EXPECT_EQ(value, "unchanged");
}

TEST_F(CompanionSetting, TextsAreUtf8AndLongerThan255CharactersAreUnreadable) {
    Set(L"Name", L"Z\u00e4hler");
    std::string value;
    EXPECT_EQ(platform::ReadRegistryString("Name", kKey, &value), 1);
    EXPECT_EQ(value, "Z\xc3\xa4hler");
    Set(L"Long", std::wstring(255, L'x'));
    EXPECT_EQ(platform::ReadRegistryString("Long", kKey, &value), 1);
    EXPECT_EQ(value, std::string(255, 'x'));
    Set(L"Longer", std::wstring(256, L'x'));
    value = "unchanged";
    EXPECT_EQ(platform::ReadRegistryString("Longer", kKey, &value), 0);
    EXPECT_EQ(value, "unchanged");
}

TEST(WindowsHost, OfficialNameComesFromTheResolver) {
    std::string name;
    if (!platform::OfficialHostName(&name)) GTEST_SKIP() << "this computer's name does not resolve";
    EXPECT_FALSE(name.empty());
    EXPECT_LT(name.size(), 256u);
}

}  // namespace
