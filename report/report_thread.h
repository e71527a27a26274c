// Inside the report component: the start of the report thread, used by the data collection.
#pragma once

#include "report/usage_report.h"

namespace report {

// Starts the report thread with a copy of report unless one still runs (the mark is set).
ReportStart StartReportThread(const ReportRecord& report, const ReportService& service);

}  // namespace report
