// Why a serial port could not be opened, as far as the system shows it: the processes that hold
// it, a modem manager probing it, a missing device rule, missing group membership or seat.
// The library's description of a failed open and the update program's message both use it.
#pragma once

#include <string>
#include <vector>

namespace platform {

// Findings about the port at path, whose open failed with the system error code error. Each is a
// clause that starts in lower case and has no final full stop ("it is open in minicom (pid
// 4242)"). Empty when the system shows nothing beyond the error itself.
std::vector<std::string> DiagnosePortFailure(const std::string& path, int error);

// Findings as sentences: each begins with a capital and ends with a full stop; blanks between.
std::string AsSentences(const std::vector<std::string>& findings);

}  // namespace platform
