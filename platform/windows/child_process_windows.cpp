// Children on Windows: CreateProcess with pipes for standard input and output and without a
// console window of their own (CREATE_NO_WINDOW), so that no window opens per child whether this
// program has a console or not. A thread reads the output pipe into a buffer and sets an event,
// which the message loop waits for.
//
// Stop requests go through an event the child inherits, named to it by QUILLON_STOP_EVENT (the
// handle's value), rather than through the console: a child without a window has a console of its
// own, which no Ctrl-C or Ctrl-Break of this program's console reaches, and under Wine
// GenerateConsoleCtrlEvent carries Ctrl-C only, to every program of a console. The event works
// the same with and without a console, and only for the child it was made for.
#include <windows.h>

#include <cwchar>
#include <mutex>
#include <thread>

#include "platform/child_process.h"
#include "platform/windows/utf16.h"

namespace platform {
namespace {

constexpr const wchar_t* kStopEventVariable = L"QUILLON_STOP_EVENT";

std::wstring CommandLine(const std::vector<std::string>& args) {
    // Each argument quoted as the C runtime splits them again.
    std::wstring line;
    for (const std::string& a : args) {
        const std::wstring w = Widen(a);
        if (!line.empty()) line += L' ';
        line += L'"';
        size_t backslashes = 0;
        for (wchar_t c : w) {
            if (c == L'\\') {
                ++backslashes;
                continue;
            }
            if (c == L'"') line.append(backslashes * 2 + 1, L'\\');
            else line.append(backslashes, L'\\');
            backslashes = 0;
            line += c;
        }
        line.append(backslashes * 2, L'\\');
        line += L'"';
    }
    return line;
}

class WindowsChild : public ChildProcess {
public:
    WindowsChild(PROCESS_INFORMATION pi, HANDLE in, HANDLE out, HANDLE stop)
        : pi_(pi), in_(in), out_(out), stop_(stop) {
        ready_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        reader_ = std::thread([this] {
            char buf[8192];
            for (;;) {
                DWORD got = 0;
                // A pipe ends (ERROR_BROKEN_PIPE) once the child and every copy of its end are gone.
                const bool ok = ::ReadFile(out_, buf, sizeof buf, &got, nullptr) && got > 0;
                std::lock_guard<std::mutex> lock(mutex_);
                if (ok) buffer_.append(buf, got);
                else ended_ = true;
                ::SetEvent(ready_);
                if (!ok) return;
            }
        });
    }
    ~WindowsChild() override {
        if (in_) ::CloseHandle(in_);
        Wait();
        if (reader_.joinable()) reader_.join();
        ::CloseHandle(out_);
        ::CloseHandle(ready_);
        ::CloseHandle(stop_);
        ::CloseHandle(pi_.hProcess);
        ::CloseHandle(pi_.hThread);
    }

    EventHandle OutputHandle() const override { return reinterpret_cast<EventHandle>(ready_); }

    bool ReadOutput(std::string* appendTo) override {
        std::lock_guard<std::mutex> lock(mutex_);
        appendTo->append(buffer_);
        buffer_.clear();
        if (!ended_) ::ResetEvent(ready_);
        return !ended_;
    }

    bool WriteInput(const std::string& text) override {
        if (!in_) return false;
        DWORD written = 0;
        return ::WriteFile(in_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) && written == text.size();
    }

    // Each call is one stop request (an auto-reset event: the child takes each once).
    void RequestStop() override { ::SetEvent(stop_); }

    std::optional<int> ExitStatus() override {
        DWORD code = 0;
        if (::WaitForSingleObject(pi_.hProcess, 0) != WAIT_OBJECT_0 || !::GetExitCodeProcess(pi_.hProcess, &code))
            return std::nullopt;
        return static_cast<int>(code);
    }

    int Wait() override {
        ::WaitForSingleObject(pi_.hProcess, INFINITE);
        DWORD code = 0;
        ::GetExitCodeProcess(pi_.hProcess, &code);
        return static_cast<int>(code);
    }

    long Id() const override { return static_cast<long>(pi_.dwProcessId); }

private:
    PROCESS_INFORMATION pi_;
    HANDLE in_;
    HANDLE out_;
    HANDLE stop_;
    HANDLE ready_ = nullptr;
    std::thread reader_;
    std::mutex mutex_;
    std::string buffer_;
    bool ended_ = false;
};

// Closes the handles it holds when it goes, unless released.
struct Handles {
    std::vector<HANDLE> held;
    HANDLE Keep(HANDLE h) {
        if (h && h != INVALID_HANDLE_VALUE) held.push_back(h);
        return h;
    }
    void Release(HANDLE h) { std::erase(held, h); }
    ~Handles() {
        for (HANDLE h : held) ::CloseHandle(h);
    }
};

std::string Error(const char* what, DWORD error) { return std::string(what) + " (error " + std::to_string(error) + ")"; }

}  // namespace

std::unique_ptr<ChildProcess> StartChild(const std::string& program, const std::vector<std::string>& args,
                                         const std::string& errorFile, std::string* why) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    Handles handles;
    HANDLE inRead = nullptr, inWrite = nullptr, outRead = nullptr, outWrite = nullptr;
    if (!::CreatePipe(&inRead, &inWrite, &inherit, 0) || !::CreatePipe(&outRead, &outWrite, &inherit, 0)) {
        if (why) *why = Error("no pipe", ::GetLastError());
        handles.Keep(inRead);
        handles.Keep(inWrite);
        return nullptr;
    }
    for (HANDLE h : {inRead, inWrite, outRead, outWrite}) handles.Keep(h);
    // This program's ends stay here.
    ::SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    // Standard error: the file, else a copy of this program's that the child may inherit.
    HANDLE err = nullptr;
    if (!errorFile.empty())
        err = handles.Keep(::CreateFileW(Widen(errorFile).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!err || err == INVALID_HANDLE_VALUE) {
        err = nullptr;
        HANDLE own = ::GetStdHandle(STD_ERROR_HANDLE);
        if (own && own != INVALID_HANDLE_VALUE &&
            ::DuplicateHandle(::GetCurrentProcess(), own, ::GetCurrentProcess(), &err, 0, TRUE, DUPLICATE_SAME_ACCESS))
            handles.Keep(err);
        else
            err = nullptr;
    }
    HANDLE stop = handles.Keep(::CreateEventW(&inherit, FALSE, FALSE, nullptr));
    if (!stop) {
        if (why) *why = Error("no stop event", ::GetLastError());
        return nullptr;
    }

    // The child inherits these and nothing else this program holds (the pipes of the children
    // started before it, say), where the system can be told so.
    std::vector<HANDLE> inherited = {inRead, outWrite, stop};
    if (err) inherited.push_back(err);
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<unsigned char> storage(size);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    const bool listed = size > 0 && ::InitializeProcThreadAttributeList(attributes, 1, 0, &size) &&
                        ::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                                                    inherited.size() * sizeof(HANDLE), nullptr, nullptr);

    STARTUPINFOEXW si{};
    si.StartupInfo.cb = listed ? sizeof si : sizeof si.StartupInfo;
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    si.StartupInfo.hStdInput = inRead;
    si.StartupInfo.hStdOutput = outWrite;
    si.StartupInfo.hStdError = err;
    if (listed) si.lpAttributeList = attributes;
    PROCESS_INFORMATION pi{};
    std::wstring line = CommandLine(args);
    // The child finds its stop event in its environment, which it takes from this program's; one
    // child is started at a time, so the variable names this child's event only meanwhile.
    ::SetEnvironmentVariableW(kStopEventVariable, std::to_wstring(reinterpret_cast<uintptr_t>(stop)).c_str());
    const BOOL started = ::CreateProcessW(Widen(program).c_str(), line.data(), nullptr, nullptr, TRUE,
                                         CREATE_NO_WINDOW | (listed ? EXTENDED_STARTUPINFO_PRESENT : 0), nullptr,
                                         nullptr, &si.StartupInfo, &pi);
    const DWORD error = ::GetLastError();
    ::SetEnvironmentVariableW(kStopEventVariable, nullptr);
    if (listed) ::DeleteProcThreadAttributeList(attributes);
    if (!started) {
        if (why) *why = Error(("cannot start " + program).c_str(), error);
        return nullptr;
    }
    // Kept: this program's ends of the pipes and the stop event; the child's ends close here.
    for (HANDLE h : {inWrite, outRead, stop}) handles.Release(h);
    return std::make_unique<WindowsChild>(pi, inWrite, outRead, stop);
}

EventHandle InheritedStopEvent() {
    // Taken once: the variable goes, so that nothing this program starts inherits its meaning.
    static const EventHandle event = [] {
        wchar_t text[32] = {};
        const DWORD n = ::GetEnvironmentVariableW(kStopEventVariable, text, 32);
        if (n == 0 || n >= 32) return kNoEventHandle;
        ::SetEnvironmentVariableW(kStopEventVariable, nullptr);
        wchar_t* end = nullptr;
        const unsigned long long value = std::wcstoull(text, &end, 10);
        if (value == 0 || *end != L'\0') return kNoEventHandle;
        // A number that names no handle of this process is left alone.
        HANDLE handle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
        DWORD flags = 0;
        if (!::GetHandleInformation(handle, &flags)) return kNoEventHandle;
        return reinterpret_cast<EventHandle>(handle);
    }();
    return event;
}

}  // namespace platform
