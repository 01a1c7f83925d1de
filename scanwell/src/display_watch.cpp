#include "display_watch.hpp"

#include "display_list.hpp"
#include "drm_records.hpp"

namespace scanwell {

DisplayWatch::DisplayWatch(int device, std::uint32_t crtc_id, std::vector<DisplayInfo> displays)
    : device_(device), crtc_id_(crtc_id), displays_(std::move(displays)), crtc_(read_crtc()) {}

DisplayWatch::CrtcGeometry DisplayWatch::read_crtc() const {
  if (crtc_id_ == 0) return {};
  Crtc crtc{drmModeGetCrtc(device_, crtc_id_)};
  if (!crtc) return {};
  return {crtc->mode_valid != 0, crtc->x, crtc->y, crtc->width, crtc->height};
}

bool DisplayWatch::relist() {
  auto displays = list_connectors(device_).value_or(std::vector<DisplayInfo>{});
  bool differs = !same_displays(displays, displays_);
  displays_ = std::move(displays);
  CrtcGeometry crtc = read_crtc();
  differs = differs || crtc != crtc_;
  crtc_ = crtc;
  return differs;
}

bool DisplayWatch::changed() {
  if (!events_) {
    // Events start only now, so compare everything with the state the
    // watch was made with.
    events_.emplace();
    return relist();
  }
  if (events_->drm_event_pending()) return relist();
  if (crtc_id_ == 0 || read_crtc() == crtc_) return false;
  relist();
  return true;
}

}  // namespace scanwell
