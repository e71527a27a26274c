// Starts a usage report and ends the program while the report may still run. The program must
// end on its own: the report gets its grace time, is cancelled, and never runs into the
// program's teardown.
//
// report_exit_probe virtual|real [go-file]
//   virtual: a virtual clock, so the grace time passes at once.
//   go-file: main returns only once this file exists (at most 10 s), so that the report is
//            known to be under way.
// The report service comes from QUILLON_REPORT_HOST and QUILLON_REPORT_CA_FILE.
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "report/usage_report.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    static platform::VirtualClock clock;
    if (std::string(argv[1]) == "virtual") platform::SetClock(&clock);

    // A device without serial number: the report goes out without any device read.
    velmora::DeviceInfo info{};
    info.version = 340;
    info.model = 1160;
    info.runsApplication = 1;
    static report::ReportRecord record;
    if (report::CollectReportData(&record, 0, info, 350, 0) != report::ReportStart::Started) return 1;

    if (argc > 2)
        for (int i = 0; i < 1000 && !std::filesystem::exists(argv[2]); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return 0;
}
