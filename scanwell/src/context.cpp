#include "context.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cstdlib>
#include <span>

#include "device_choice.hpp"
#include "display_list.hpp"
#include "drm_records.hpp"

namespace scanwell {

namespace {

Outcome<std::string> device_path(const CaptureOpenConfig& config) {
  if (config.device != nullptr) return std::string(config.device);
  return choose_device();
}

std::optional<std::string> render_node_of(int device) {
  std::unique_ptr<char, decltype(&std::free)> name(drmGetRenderDeviceNameFromFd(device), &std::free);
  if (!name) return std::nullopt;
  return std::string(name.get());
}

std::optional<std::string> driver_of(int device) {
  Version version{drmGetVersion(device)};
  if (!version || version->name == nullptr) return std::nullopt;
  return std::string(version->name);
}

bool has_crtc(int device, std::uint32_t crtc_id) {
  Resources resources{drmModeGetResources(device)};
  if (!resources) return false;
  std::span<const std::uint32_t> crtcs(resources->crtcs, static_cast<std::size_t>(resources->count_crtcs));
  return std::find(crtcs.begin(), crtcs.end(), crtc_id) != crtcs.end();
}

}  // namespace

Outcome<std::unique_ptr<ScanwellContext>> open_context(const CaptureOpenConfig& config) {
  auto path = device_path(config);
  if (!path) return std::unexpected(path.error());
  auto context = std::make_unique<ScanwellContext>();
  context->device_path = *path;
  context->device.reset(::open(path->c_str(), O_RDONLY | O_CLOEXEC));
  if (!context->device) return fail_errno("cannot open " + *path);
  int device = context->device.get();
  // Opening a card makes the first opener DRM master; the desktop's
  // compositor needs that role, so give it back at once.
  drmDropMaster(device);
  // Atomic properties tell a sleeping display from a lit one.
  drmSetClientCap(device, DRM_CLIENT_CAP_ATOMIC, 1);

  auto displays = list_connectors(device).value_or(std::vector<DisplayInfo>{});
  context->crtc_id = config.crtc_id;
  if (config.crtc_id != 0 && !has_crtc(device, config.crtc_id)) {
    return fail(-ENODEV, "CRTC " + std::to_string(config.crtc_id) + " is not a display controller of " + *path);
  }
  if (config.crtc_id == 0) context->crtc_id = first_lit_crtc(displays);

  context->render_node = render_node_of(device);
  context->gpu_driver = driver_of(device);
  context->watch = std::make_unique<DisplayWatch>(device, context->crtc_id, std::move(displays));
  const char* helper = config.helper_path != nullptr ? config.helper_path : SCANWELL_DEFAULT_HELPER;
  context->helper = std::make_unique<HelperLink>(helper, *path);
  return context;
}

}  // namespace scanwell
