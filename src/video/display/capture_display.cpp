#include "video/display/capture_display.hpp"

#include <algorithm>
#include <set>

namespace corvane {
namespace {

std::optional<Display> pick_requested(const std::vector<Display>& displays,
                                      const std::string& requested) {
  auto found = std::ranges::find_if(displays, [&](const Display& display) {
    return display.name() == requested && display.online();
  });
  if (found == displays.end()) return std::nullopt;
  return *found;
}

Result<FoundDisplay> pick_kvm_display(const std::vector<Display>& displays,
                                      const DisplaySelection& selection,
                                      const std::set<std::string>& kvm_names) {
  if (displays.empty() || kvm_names.empty()) return FoundDisplay{};
  std::vector<Display> candidates;
  std::ranges::copy_if(displays, std::back_inserter(candidates), [&](const Display& display) {
    return display.online() && kvm_names.contains(display.name());
  });
  // The previous pick stays while it is still a candidate, so a second KVM
  // display lighting up does not interrupt the stream.
  if (selection.selected) {
    auto kept = std::ranges::find(candidates, *selection.selected, &Display::name);
    if (kept != candidates.end()) return FoundDisplay{*kept};
  }
  if (candidates.empty()) return FoundDisplay{};
  if (candidates.size() == 1) return FoundDisplay{candidates.front()};
  return fail("multiple KVM displays: " + describe_displays(displays) +
              "; pick the capture display in the KVM web UI");
}

}  // namespace

bool set_requested(DisplaySelection& selection, std::optional<std::string> name) {
  if (selection.requested == name) return false;
  selection.requested = std::move(name);
  selection.selected.reset();
  return true;
}

Result<FoundDisplay> select_capture_display(const std::vector<Display>& displays,
                                            DisplaySelection& selection,
                                            const std::filesystem::path& root) {
  std::set<std::string> kvm_names = kvm_display_names(root);
  Result<FoundDisplay> picked = selection.requested
                                    ? FoundDisplay{pick_requested(displays, *selection.requested)}
                                    : pick_kvm_display(displays, selection, kvm_names);
  if (picked && picked->display) selection.selected = picked->display->name();
  return picked;
}

Result<InactiveDisplay> inactive_display(const DisplaySelection& selection,
                                         const std::filesystem::path& root) {
  auto displays = list_displays(root);
  if (!displays) return std::unexpected(displays.error());
  auto wanted = selection.requested ? selection.requested : selection.selected;
  if (wanted) {
    auto found = std::ranges::find(*displays, *wanted, &Display::name);
    if (found == displays->end() || found->online()) return InactiveDisplay{};
    return InactiveDisplay{*wanted};
  }
  // Unlike selection, sleeping KVM displays count here: with several KVM
  // displays there is no single one to wait for.
  std::set<std::string> kvm_names = kvm_display_names(root);
  std::vector<const Display*> kvm_displays;
  for (const Display& display : *displays) {
    if (kvm_names.contains(display.name())) kvm_displays.push_back(&display);
  }
  if (kvm_displays.size() != 1 || kvm_displays.front()->online()) return InactiveDisplay{};
  return InactiveDisplay{kvm_displays.front()->name()};
}

}  // namespace corvane
