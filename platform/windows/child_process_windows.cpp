// Children on Windows: CreateProcess in a process group of its own (so that Ctrl-Break reaches
// it alone) with pipes for standard input and output. A thread reads the output pipe into a
// buffer and sets an event, which the message loop waits for.
#include <windows.h>

#include <mutex>
#include <thread>

#include "platform/child_process.h"
#include "platform/windows/utf16.h"

namespace platform {
namespace {

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
    WindowsChild(PROCESS_INFORMATION pi, HANDLE in, HANDLE out) : pi_(pi), in_(in), out_(out) {
        ready_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        reader_ = std::thread([this] {
            char buf[8192];
            for (;;) {
                DWORD got = 0;
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

    void RequestStop() override { ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, pi_.dwProcessId); }

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
    HANDLE ready_ = nullptr;
    std::thread reader_;
    std::mutex mutex_;
    std::string buffer_;
    bool ended_ = false;
};

}  // namespace

std::unique_ptr<ChildProcess> StartChild(const std::string& program, const std::vector<std::string>& args,
                                         const std::string& errorFile, std::string* why) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE inRead = nullptr, inWrite = nullptr, outRead = nullptr, outWrite = nullptr;
    if (!::CreatePipe(&inRead, &inWrite, &inherit, 0) || !::CreatePipe(&outRead, &outWrite, &inherit, 0)) {
        if (why) *why = "no pipe (error " + std::to_string(::GetLastError()) + ")";
        return nullptr;
    }
    // Only the child's ends are inherited.
    ::SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
    HANDLE errFile = nullptr;
    if (!errorFile.empty()) {
        errFile = ::CreateFileW(Widen(errorFile).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
        if (errFile != INVALID_HANDLE_VALUE) err = errFile;
    }
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inRead;
    si.hStdOutput = outWrite;
    si.hStdError = err;
    PROCESS_INFORMATION pi{};
    std::wstring line = CommandLine(args);
    const BOOL started = ::CreateProcessW(Widen(program).c_str(), line.data(), nullptr, nullptr, TRUE,
                                         CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &si, &pi);
    const DWORD error = ::GetLastError();
    ::CloseHandle(inRead);
    ::CloseHandle(outWrite);
    if (errFile && errFile != INVALID_HANDLE_VALUE) ::CloseHandle(errFile);
    if (!started) {
        ::CloseHandle(inWrite);
        ::CloseHandle(outRead);
        if (why) *why = "cannot start " + program + " (error " + std::to_string(error) + ")";
        return nullptr;
    }
    return std::make_unique<WindowsChild>(pi, inWrite, outRead);
}

}  // namespace platform
