#pragma once
// What a session asks of the desktop: the displays to announce, whether the
// clipboard can be reached, whether dropped files have a folder to go to.
#include <functional>
#include <string>
#include <vector>

namespace corvane {

struct SessionServices {
  std::function<std::vector<std::string>()> display_names;
  std::function<bool()> clipboard_available;
  std::function<bool()> file_destination_available;
};

// The real desktop. The clipboard and file-drop services are not part of
// this build yet, so both are reported unavailable to the KVM, which is
// what they are.
SessionServices desktop_services();

}  // namespace corvane
