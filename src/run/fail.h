// The one way a run ends on an error.
#pragma once

#include <string_view>

namespace plumvane {

// Writes message, its control characters escaped (a line feed as \n, others as \xNN), and a line
// feed to standard error in one write, then ends the process with
// status 1 through the normal exit, so text still buffered for standard output is flushed.
[[noreturn]] void fail(std::string_view message);

}  // namespace plumvane
