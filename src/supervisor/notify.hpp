#pragma once
#include <string>

namespace corvane {

// Shows a desktop notification titled "Corvane". Started from a terminal,
// the text goes to standard output instead (urgent ones are dropped: the
// failure line on standard error already tells). Never fails.
void notify_user(const std::string& text, bool urgent);

}  // namespace corvane
