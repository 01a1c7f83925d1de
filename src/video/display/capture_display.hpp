#pragma once
// Which display is captured: the one the KVM asked for, or else the KVM's
// own display, recognised by its EDID.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "error.hpp"
#include "video/display/drm.hpp"

namespace corvane {

// Kept by its owner from one selection to the next.
struct DisplaySelection {
  std::optional<std::string> requested;  // asked for by the KVM
  std::optional<std::string> selected;   // picked by the last selection
};

// Stores the KVM's request. A changed request clears the previous pick and
// returns true; an unchanged one changes nothing and returns false.
bool set_requested(DisplaySelection& selection, std::optional<std::string> name);

// Picks the online display to capture and remembers its name in
// selection.selected. Nothing picked is not an error; several lit KVM
// displays with nothing requested or remembered are.
Result<FoundDisplay> select_capture_display(const std::vector<Display>& displays,
                                            DisplaySelection& selection,
                                            const std::filesystem::path& root = "/");

// The name of the display that would be captured when it exists but is
// asleep, so that the stream can wait for it to wake. With an empty
// selection it asks about the KVM's own display.
struct InactiveDisplay {
  std::optional<std::string> name;
};
Result<InactiveDisplay> inactive_display(const DisplaySelection& selection,
                                         const std::filesystem::path& root = "/");

}  // namespace corvane
