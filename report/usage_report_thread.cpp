// The report thread: at most one at a time, with its own copy of the record, posting the form
// over HTTPS. The program waits for it at exit for a short while, then cancels it.
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/clock.h"
#include "platform/host.h"
#include "platform/https.h"
#include "report/report_config.h"
#include "report/report_thread.h"
#include "report/usage_report.h"

namespace report {
namespace {

// The mark of a running report thread. On Windows it was the handle of a mutex named
// "WebSearchMutex" that nobody ever waited on; a flag does the same within the process.
std::atomic<bool> m_hReportMutex{false};

int PostReport(const ReportRecord& report, const ReportService& service, const std::atomic<bool>* cancel) {
    platform::HttpsTarget target;
    target.host = service.host;
    target.port = service.port;
    target.objectName = "";
    target.userAgent = std::string(kUserAgent);
    target.acceptTypes = {std::string(kAcceptType)};
    target.reload = true;
    target.caFile = service.caFile;
    target.timeLimitMs = kPostTimeLimitMs;
    target.cancel = cancel;
    std::unique_ptr<platform::HttpsPost> post = platform::OpenHttpsPost(target);
    if (!post) return -1;

    const platform::LocalTime now = platform::GetClock().LocalNow();
    std::string official;
    const bool internal = !service.intranetMarker.empty() && platform::OfficialHostName(&official) &&
                          IsIntranetName(official, service.intranetMarker);
    const std::string body = ComposeReportBody(report, internal, now.hour, now.minute, service.accessKey);
    if (body.size() + 1 > kBodyBufferSize) return -1;
    return post->Send(std::string(kExtraHeader), body);
}

class ReportThreads;
ReportThreads& Threads();

// Owner of the report thread. Its one instance is a function-local static; the constructor
// touches the clock first, so that it is torn down only after this object at exit.
class ReportThreads {
public:
    ReportThreads() { platform::GetClock(); }
    ~ReportThreads() { Finish(); }

    // At exit a running report gets kExitGraceMs to finish; then it is cancelled (libcurl ends
    // within about a second) and waited for, so that it never runs into the program's teardown.
    void Finish() {
        std::lock_guard<std::mutex> lock(m_);
        if (!thread_.joinable()) return;
        platform::Clock& clock = platform::GetClock();
        for (uint32_t waited = 0; m_hReportMutex.load() && waited < kExitGraceMs; waited += 50) clock.SleepMs(50);
        cancel_.store(true);
        thread_.join();
    }

    ReportThreads(const ReportThreads&) = delete;
    ReportThreads& operator=(const ReportThreads&) = delete;

    ReportStart Start(const ReportRecord& report, const ReportService& service) {
        bool idle = false;
        if (!m_hReportMutex.compare_exchange_strong(idle, true)) return ReportStart::AlreadyRunning;
        if (!service.host.empty()) PrepareHttpsBeforeExit();
        std::lock_guard<std::mutex> lock(m_);
        // The previous thread has cleared the mark, its last action: it ends at once.
        if (thread_.joinable()) thread_.join();
        cancel_.store(false);
        try {
            thread_ = std::thread([this, report, service]() {
                result_.store(PostReport(report, service, &cancel_));
                m_hReportMutex.store(false);
            });
        } catch (const std::exception&) {
            m_hReportMutex.store(false);
            return ReportStart::NoThread;
        }
        return ReportStart::Started;
    }

    int Wait() {
        std::lock_guard<std::mutex> lock(m_);
        if (thread_.joinable()) thread_.join();
        return result_.load();
    }

private:
    // The HTTPS layer is loaded on the first report that has somewhere to go. Its TLS library
    // cleans up at exit, so the report thread must be over before that: the wait at exit is
    // registered after the layer is loaded, and handlers registered later run first.
    static void PrepareHttpsBeforeExit() {
        static std::once_flag once;
        std::call_once(once, [] {
            platform::PrepareHttps();
            std::atexit([] { Threads().Finish(); });
        });
    }

    std::mutex m_;
    std::thread thread_;
    std::atomic<bool> cancel_{false};
    std::atomic<int> result_{0};
};


ReportThreads& Threads() {
    static ReportThreads threads;
    return threads;
}

}  // namespace

ReportStart StartReportThread(const ReportRecord& report, const ReportService& service) {
    return Threads().Start(report, service);
}

int UsageReportThread(const ReportRecord& report, const ReportService& service) {
    return PostReport(report, service, nullptr);
}

bool ReportThreadRunning() { return m_hReportMutex.load(); }

int WaitForReportThread() { return Threads().Wait(); }

ReportService BuiltInService() {
    ReportService s;
    s.host = config::kHost;
    s.port = 443;
    s.accessKey = config::kAccessKey;
    s.intranetMarker = config::kIntranetMarker;
    return s;
}

ReportService ConfiguredService() {
    ReportService s = BuiltInService();
    if (const char* host = std::getenv("QUILLON_REPORT_HOST")) {
        std::string h = host;
        s.host = h;
        s.port = 443;
        // HOST:PORT; anything after the colon that is no port leaves a host that is refused.
        const size_t colon = h.rfind(':');
        if (colon != std::string::npos) {
            const std::string digits = h.substr(colon + 1);
            int port = 0;
            bool ok = !digits.empty() && digits.size() <= 5;
            for (char c : digits) {
                if (c < '0' || c > '9') ok = false;
                port = port * 10 + (c - '0');
            }
            if (ok && port >= 1 && port <= 65535) {
                s.host = h.substr(0, colon);
                s.port = port;
            }
        }
    }
    if (const char* ca = std::getenv("QUILLON_REPORT_CA_FILE")) s.caFile = ca;
    return s;
}

}  // namespace report
