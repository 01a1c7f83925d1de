#pragma once
// Owners for the records libdrm hands out, each freed with its own call.
#include <xf86drm.h>
#include <xf86drmMode.h>

#include <memory>

namespace scanwell {

template <class T, auto Free>
struct DrmFree {
  void operator()(T* record) const { Free(record); }
};

template <class T, auto Free>
using DrmRecord = std::unique_ptr<T, DrmFree<T, Free>>;

using PlaneResources = DrmRecord<drmModePlaneRes, drmModeFreePlaneResources>;
using Plane = DrmRecord<drmModePlane, drmModeFreePlane>;
using Framebuffer = DrmRecord<drmModeFB2, drmModeFreeFB2>;
using Resources = DrmRecord<drmModeRes, drmModeFreeResources>;
using Connector = DrmRecord<drmModeConnector, drmModeFreeConnector>;
using Encoder = DrmRecord<drmModeEncoder, drmModeFreeEncoder>;
using Crtc = DrmRecord<drmModeCrtc, drmModeFreeCrtc>;
using ObjectProperties = DrmRecord<drmModeObjectProperties, drmModeFreeObjectProperties>;
using Property = DrmRecord<drmModePropertyRes, drmModeFreeProperty>;
using PropertyBlob = DrmRecord<drmModePropertyBlobRes, drmModeFreePropertyBlob>;
using Version = DrmRecord<drmVersion, drmFreeVersion>;

}  // namespace scanwell
