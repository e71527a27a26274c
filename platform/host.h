// The computer's own name as the network knows it.
#pragma once

#include <string>

namespace platform {

// Longest host name the look-up accepts, in bytes with the terminating zero; a longer name
// counts as a failed look-up.
constexpr size_t kHostNameBufferSize = 50;

// The official (canonical) name of this computer: its host name resolved by the system's
// resolver. false, with *name unchanged, when the host name cannot be read or resolved.
bool OfficialHostName(std::string* name);

}  // namespace platform
