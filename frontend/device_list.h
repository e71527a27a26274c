// --list: every Norvik device the library finds, with its identity, and nothing changed.
#pragma once

#include <string>

namespace frontend {

// Lists the devices as a table; returns how many answered.
int ListDevices(std::string* out);

}  // namespace frontend
