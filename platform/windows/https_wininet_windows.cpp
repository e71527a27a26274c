// HTTPS POST with WinINet: InternetOpenW with the system's proxy settings, InternetConnectW to
// port 443 (or the target's), HttpOpenRequestW "POST" with reload, no cache write and secure,
// HttpSendRequestW with the header and body; the answer is read to its end and discarded.
// WinINet checks the server's certificate (chain, name, dates) unless told otherwise, and this
// code never tells it otherwise.
//
// A watchdog thread ends a running exchange at the time limit (measured on
// platform::GetClock()) or when the cancel mark is set, by closing the request handle: WinINet
// then fails the blocked call.
#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/https.h"
#include "platform/windows/utf16.h"

namespace platform {
namespace {

std::string ErrorText(const char* step, DWORD error) {
    const char* what = "";
    switch (error) {
        case ERROR_INTERNET_TIMEOUT: what = " (timed out)"; break;
        case ERROR_INTERNET_NAME_NOT_RESOLVED: what = " (name not resolved)"; break;
        case ERROR_INTERNET_CANNOT_CONNECT: what = " (cannot connect)"; break;
        case ERROR_INTERNET_CONNECTION_ABORTED: what = " (connection aborted)"; break;
        case ERROR_INTERNET_CONNECTION_RESET: what = " (connection reset)"; break;
        case ERROR_INTERNET_INVALID_CA: what = " (certificate not trusted)"; break;
        case ERROR_INTERNET_SEC_CERT_CN_INVALID: what = " (certificate names another host)"; break;
        case ERROR_INTERNET_SEC_CERT_DATE_INVALID: what = " (certificate expired or not yet valid)"; break;
        case ERROR_INTERNET_SEC_CERT_REVOKED: what = " (certificate revoked)"; break;
        case ERROR_INTERNET_SECURITY_CHANNEL_ERROR: what = " (TLS failed)"; break;
        case ERROR_INTERNET_OPERATION_CANCELLED: what = " (cancelled)"; break;
        case ERROR_INVALID_HANDLE: what = " (ended: time limit or cancelled)"; break;
        default: break;
    }
    return std::string(step) + " failed: error " + std::to_string(error) + what;
}

// Closes a WinINet handle once, from whichever thread comes first.
class SharedHandle {
public:
    explicit SharedHandle(HINTERNET h) : h_(h) {}
    ~SharedHandle() { Close(); }
    SharedHandle(const SharedHandle&) = delete;
    SharedHandle& operator=(const SharedHandle&) = delete;
    HINTERNET get() const { return h_; }
    void Close() {
        std::lock_guard<std::mutex> lock(m_);
        if (h_) ::InternetCloseHandle(h_);
        h_ = nullptr;
    }

private:
    std::mutex m_;
    HINTERNET h_;
};

// Ends the exchange at the time limit or on cancel by closing the request.
class Watchdog {
public:
    Watchdog(SharedHandle& request, uint64_t deadline, const std::atomic<bool>* cancel)
        : thread_([this, &request, deadline, cancel] {
              std::unique_lock<std::mutex> lock(m_);
              while (!done_) {
                  if ((cancel && cancel->load()) || GetClock().NowMs() >= deadline) {
                      fired_ = true;
                      lock.unlock();
                      request.Close();
                      return;
                  }
                  cv_.wait_for(lock, std::chrono::milliseconds(20));
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(m_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;
    bool Fired() {
        std::lock_guard<std::mutex> lock(m_);
        return fired_;
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool done_ = false;
    bool fired_ = false;
    std::thread thread_;
};

class WinInetPost : public HttpsPost {
public:
    explicit WinInetPost(HttpsTarget target) : target_(std::move(target)) {}

    int Send(const std::string& extraHeader, std::string_view body) override {
        error_.clear();
        if (body.size() > MAXDWORD) return Fail("the body is too long");
        const uint64_t deadline = GetClock().NowMs() + target_.timeLimitMs;

        SharedHandle internet(::InternetOpenW(Widen(target_.userAgent).c_str(), INTERNET_OPEN_TYPE_PRECONFIG,
                                              nullptr, nullptr, 0));
        if (!internet.get()) return Fail(ErrorText("InternetOpenW", ::GetLastError()));
        // WinINet's own time-outs bound each step as well; the watchdog bounds the whole.
        DWORD limit = target_.timeLimitMs;
        for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                             INTERNET_OPTION_RECEIVE_TIMEOUT})
            ::InternetSetOptionW(internet.get(), option, &limit, sizeof limit);

        SharedHandle connection(::InternetConnectW(internet.get(), Widen(target_.host).c_str(),
                                                   static_cast<INTERNET_PORT>(target_.port), nullptr, nullptr,
                                                   INTERNET_SERVICE_HTTP, 0, 0));
        if (!connection.get()) return Fail(ErrorText("InternetConnectW", ::GetLastError()));

        std::vector<std::wstring> accept;
        for (const std::string& type : target_.acceptTypes) accept.push_back(Widen(type));
        std::vector<LPCWSTR> acceptList;
        for (const std::wstring& type : accept) acceptList.push_back(type.c_str());
        acceptList.push_back(nullptr);
        DWORD flags = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE;
        if (target_.reload) flags |= INTERNET_FLAG_RELOAD;
        const std::wstring object = L"/" + Widen(target_.objectName);
        SharedHandle request(::HttpOpenRequestW(connection.get(), L"POST", object.c_str(), nullptr, nullptr,
                                                acceptList.data(), flags, 1));
        if (!request.get()) return Fail(ErrorText("HttpOpenRequestW", ::GetLastError()));

        const std::wstring header = Widen(extraHeader);
        Watchdog watchdog(request, deadline, target_.cancel);
        if (!::HttpSendRequestW(request.get(), header.empty() ? nullptr : header.c_str(),
                                static_cast<DWORD>(header.size()), const_cast<char*>(body.data()),
                                static_cast<DWORD>(body.size()))) {
            const DWORD error = ::GetLastError();
            return Fail(watchdog.Fired() ? "ended: time limit or cancelled" : ErrorText("HttpSendRequestW", error));
        }
        // The whole answer, so that the server is done with the request; its content is discarded.
        char chunk[4096];
        for (;;) {
            DWORD read = 0;
            if (!::InternetReadFile(request.get(), chunk, sizeof chunk, &read)) {
                const DWORD error = ::GetLastError();
                return Fail(watchdog.Fired() ? "ended: time limit or cancelled" : ErrorText("InternetReadFile", error));
            }
            if (read == 0) break;
        }
        return watchdog.Fired() ? Fail("ended: time limit or cancelled") : 1;
    }

    const std::string& LastError() const override { return error_; }

private:
    int Fail(std::string why) {
        error_ = std::move(why);
        return -1;
    }

    HttpsTarget target_;
    std::string error_;
};

}  // namespace

void PrepareHttps() {}

std::unique_ptr<HttpsPost> OpenHttpsPost(const HttpsTarget& target) {
    if (!HttpsTargetIsSafe(target)) return nullptr;
    // WinINet trusts the system's certificate store and cannot be limited to the certificates of
    // one file; rather than trust more than asked, such a post is not prepared.
    if (!target.caFile.empty()) return nullptr;
    return std::make_unique<WinInetPost>(target);
}

}  // namespace platform
