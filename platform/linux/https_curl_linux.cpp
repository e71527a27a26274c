// HTTPS POST with libcurl: HTTP/1.1, TLS with peer and host verification, no redirects.
// libcurl (and the TLS, Kerberos, LDAP and other libraries it brings) is loaded only when a
// report is really posted: a build without a report service, and every program that never
// posts, maps none of it.
#include <curl/curl.h>
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include "platform/clock.h"
#include "platform/https.h"

namespace platform {
namespace {

// The functions of libcurl used here, looked up once in the library loaded on demand.
struct Curl {
    CURLcode (*global_init)(long);
    CURL* (*easy_init)();
    void (*easy_cleanup)(CURL*);
    CURLcode (*easy_setopt)(CURL*, CURLoption, ...);
    CURLcode (*easy_perform)(CURL*);
    const char* (*easy_strerror)(CURLcode);
    curl_slist* (*slist_append)(curl_slist*, const char*);
    void (*slist_free_all)(curl_slist*);
};

template <typename F>
bool Find(void* library, const char* name, F* out) {
    *out = reinterpret_cast<F>(dlsym(library, name));
    return *out != nullptr;
}

// Loads and starts libcurl the first time; null when it is missing or does not start. Never
// unloaded: its TLS library keeps handlers until the program ends.
const Curl* LoadCurl() {
    static const Curl* const loaded = []() -> const Curl* {
        void* library = dlopen(QUILLON_CURL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (!library) return nullptr;
        static Curl c;
        const bool found = Find(library, "curl_global_init", &c.global_init) &&
                           Find(library, "curl_easy_init", &c.easy_init) &&
                           Find(library, "curl_easy_cleanup", &c.easy_cleanup) &&
                           Find(library, "curl_easy_setopt", &c.easy_setopt) &&
                           Find(library, "curl_easy_perform", &c.easy_perform) &&
                           Find(library, "curl_easy_strerror", &c.easy_strerror) &&
                           Find(library, "curl_slist_append", &c.slist_append) &&
                           Find(library, "curl_slist_free_all", &c.slist_free_all);
        if (!found || c.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return nullptr;
        return &c;
    }();
    return loaded;
}

// A peer that closes the connection makes a write raise SIGPIPE in the writing thread, which
// would end the program. The signal is blocked for this thread while libcurl works, and one that
// came meanwhile is taken before the old mask returns.
class SigpipeBlocked {
public:
    SigpipeBlocked() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        blocked_ = pthread_sigmask(SIG_BLOCK, &pipe_, &old_) == 0;
    }
    ~SigpipeBlocked() {
        if (!blocked_) return;
        if (!sigismember(&old_, SIGPIPE)) {
            const timespec zero{0, 0};
            while (sigtimedwait(&pipe_, nullptr, &zero) > 0) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeBlocked(const SigpipeBlocked&) = delete;
    SigpipeBlocked& operator=(const SigpipeBlocked&) = delete;

private:
    sigset_t pipe_;
    sigset_t old_;
    bool blocked_ = false;
};

size_t Discard(char*, size_t size, size_t count, void*) { return size * count; }

class CurlPost : public HttpsPost {
public:
    CurlPost(const Curl& lib, CURL* curl, HttpsTarget target) : lib_(lib), curl_(curl), target_(std::move(target)) {}
    ~CurlPost() override { lib_.easy_cleanup(curl_); }
    CurlPost(const CurlPost&) = delete;
    CurlPost& operator=(const CurlPost&) = delete;

    int Send(const std::string& extraHeader, std::string_view body) override {
        error_.clear();
        errbuf_[0] = 0;
        Headers headers(lib_);
        if (!target_.acceptTypes.empty()) {
            std::string accept = "Accept: ";
            for (size_t i = 0; i < target_.acceptTypes.size(); ++i)
                accept += (i ? ", " : "") + target_.acceptTypes[i];
            headers.Add(accept);
        }
        if (target_.reload) headers.Add("Cache-Control: no-cache");
        size_t pos = 0;
        while (pos < extraHeader.size()) {
            size_t end = extraHeader.find("\r\n", pos);
            if (end == std::string::npos) end = extraHeader.size();
            if (end > pos) headers.Add(extraHeader.substr(pos, end - pos));
            pos = end + 2;
        }
        // No "Expect: 100-continue" pause before a larger body.
        headers.Add("Expect:");
        if (!headers.ok) return Fail("no memory for the request headers");

        deadline_ = GetClock().NowMs() + target_.timeLimitMs;
        lib_.easy_setopt(curl_, CURLOPT_HTTPHEADER, headers.list);
        lib_.easy_setopt(curl_, CURLOPT_POSTFIELDS, body.data());
        lib_.easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        CURLcode rc;
        {
            SigpipeBlocked noSigpipe;
            rc = lib_.easy_perform(curl_);
        }
        lib_.easy_setopt(curl_, CURLOPT_HTTPHEADER, nullptr);
        if (rc != CURLE_OK) return Fail(std::string(lib_.easy_strerror(rc)) + (errbuf_[0] ? ": " : "") + errbuf_);
        return 1;
    }

    const std::string& LastError() const override { return error_; }

    // Fixed options; false when libcurl refuses one.
    bool Prepare() {
        const std::string url = "https://" + target_.host + ":" + std::to_string(target_.port) + "/" + target_.objectName;
        bool ok = true;
        auto set = [&](CURLcode rc) { ok = ok && rc == CURLE_OK; };
        set(lib_.easy_setopt(curl_, CURLOPT_URL, url.c_str()));
        set(lib_.easy_setopt(curl_, CURLOPT_PROTOCOLS_STR, "https"));
        set(lib_.easy_setopt(curl_, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)));
        set(lib_.easy_setopt(curl_, CURLOPT_POST, 1L));
        set(lib_.easy_setopt(curl_, CURLOPT_USERAGENT, target_.userAgent.c_str()));
        set(lib_.easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, 1L));
        set(lib_.easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, 2L));
        if (!target_.caFile.empty()) {
            set(lib_.easy_setopt(curl_, CURLOPT_CAINFO, target_.caFile.c_str()));
            set(lib_.easy_setopt(curl_, CURLOPT_CAPATH, nullptr));
        }
        set(lib_.easy_setopt(curl_, CURLOPT_FOLLOWLOCATION, 0L));
        // Several threads use libcurl: no signals for time-outs.
        set(lib_.easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L));
        set(lib_.easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &Discard));
        set(lib_.easy_setopt(curl_, CURLOPT_ERRORBUFFER, errbuf_));
        // The time limit and the cancel mark are checked in the progress callback, which libcurl
        // calls while it resolves, connects and waits, at least about once a second.
        set(lib_.easy_setopt(curl_, CURLOPT_NOPROGRESS, 0L));
        set(lib_.easy_setopt(curl_, CURLOPT_XFERINFOFUNCTION, &Progress));
        set(lib_.easy_setopt(curl_, CURLOPT_XFERINFODATA, this));
        return ok;
    }

private:
    struct Headers {
        const Curl& lib;
        curl_slist* list = nullptr;
        bool ok = true;
        void Add(const std::string& line) {
            curl_slist* next = lib.slist_append(list, line.c_str());
            if (next)
                list = next;
            else
                ok = false;
        }
        explicit Headers(const Curl& l) : lib(l) {}
        Headers(const Headers&) = delete;
        Headers& operator=(const Headers&) = delete;
        ~Headers() { lib.slist_free_all(list); }
    };

    static int Progress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        auto* p = static_cast<CurlPost*>(self);
        if (p->target_.cancel && p->target_.cancel->load()) return 1;
        if (GetClock().NowMs() >= p->deadline_) return 1;
        return 0;
    }

    int Fail(std::string why) {
        error_ = std::move(why);
        return -1;
    }

    const Curl& lib_;
    CURL* curl_;
    HttpsTarget target_;
    std::string error_;
    char errbuf_[CURL_ERROR_SIZE] = {};
    uint64_t deadline_ = 0;
};

}  // namespace

void PrepareHttps() { LoadCurl(); }

std::unique_ptr<HttpsPost> OpenHttpsPost(const HttpsTarget& target) {
    if (!HttpsTargetIsSafe(target)) return nullptr;
    const Curl* lib = LoadCurl();
    if (!lib) return nullptr;
    CURL* curl = lib->easy_init();
    if (!curl) return nullptr;
    auto post = std::make_unique<CurlPost>(*lib, curl, target);
    if (!post->Prepare()) return nullptr;
    return post;
}

}  // namespace platform
