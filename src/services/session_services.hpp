#pragma once
// What a session asks of the desktop: the displays to announce, the
// clipboard worker, whether dropped files have a folder to go to.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "services/clipboard/clipboard_worker_handle.hpp"

namespace corvane {

struct SessionServices {
  std::function<std::vector<std::string>()> display_names;
  std::shared_ptr<ClipboardWorkerHandle> clipboard;
  std::function<bool()> file_destination_available;
};

// The real desktop.
SessionServices desktop_services();

}  // namespace corvane
