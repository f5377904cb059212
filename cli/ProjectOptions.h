#pragma once

#include <string>

#include "CliOptions.h"

namespace velcli {

// The run a project file sets up, in the command line's terms: the base and star images chosen
// as the desktop program chooses them, every option, and the sky region of the project's mode.
// False with a one-line `error` naming the file when it cannot be read or is no project.
bool optionsFromProject(const std::string& path, CliOptions& options, std::string& error);

}  // namespace velcli
