// Windows tells no more about a COM port that cannot be opened than its error code (which program
// holds it needs administrative tools), so there are no findings beyond the error itself.
#include "platform/port_diagnosis.h"

namespace platform {

std::vector<std::string> DiagnosePortFailure(const std::string&, int) { return {}; }

}  // namespace platform
