#pragma once
#include <string>
#include <string_view>

#include "error.hpp"

namespace corvane {

// Installs and (re)starts the systemd user service, or stops and removes
// it. Refuses to run as root: the service belongs to the desktop user.
Result<> install_service(bool install);

// The unit this program writes for itself when no distribution package
// ships one; exec_path is inserted escaped for systemd's quoting rules.
std::string unit_file_text(std::string_view exec_path);
std::string escape_exec_path(std::string_view exec_path);

}  // namespace corvane
