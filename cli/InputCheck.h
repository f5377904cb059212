#pragma once

#include <string>

#include "CliOptions.h"

namespace velcli {

// What a run must never do, checked before any work starts: read an input that is missing or
// unreadable (named with the system's reason), or write the output or the report over one of its
// inputs (the same file by any name: a link, another spelling). Returns the one-line error, or
// an empty string when the run may go on.
std::string checkFiles(const CliOptions& options);

}  // namespace velcli
