#include "hdr_metadata.hpp"

#include <cstring>
#include <optional>

#include "drm_properties.hpp"
#include "drm_records.hpp"
#include "helper_log.hpp"

namespace scanwell {

namespace {

// struct hdr_output_metadata: metadata type (u32), then the infoframe.
constexpr std::size_t metadata_min_size = 32;
constexpr std::size_t eotf_offset = 4;
constexpr std::size_t max_mastering_luminance_offset = 22;
constexpr std::size_t max_content_light_level_offset = 26;

constexpr std::uint32_t eotf_smpte_st2084 = 2;
constexpr std::uint32_t eotf_hlg = 3;

std::optional<std::uint32_t> output_connector(HelperState& state, std::uint32_t crtc_id) {
  Resources resources{drmModeGetResources(state.device)};
  if (!resources) return std::nullopt;
  for (int i = 0; i < resources->count_connectors; ++i) {
    std::uint32_t id = resources->connectors[i];
    Connector connector{drmModeGetConnectorCurrent(state.device, id)};
    if (!connector || connector->connection != DRM_MODE_CONNECTED) continue;
    if (get_prop_val(state.device, id, DRM_MODE_OBJECT_CONNECTOR, "CRTC_ID", state.property_names) == crtc_id) {
      return id;
    }
  }
  return std::nullopt;
}

std::uint16_t read_u16(const std::uint8_t* bytes, std::size_t offset) {
  std::uint16_t value;
  std::memcpy(&value, bytes + offset, sizeof value);
  return value;
}

}  // namespace

void fill_hdr_metadata(HelperState& state, std::uint32_t crtc_id, FrameReply& reply) {
  auto connector = output_connector(state, crtc_id);
  if (!connector) return;
  std::uint64_t blob_id = get_prop_val(state.device, *connector, DRM_MODE_OBJECT_CONNECTOR, "HDR_OUTPUT_METADATA",
                                       state.property_names);
  if (blob_id == 0) return;
  PropertyBlob blob{drmModeGetPropertyBlob(state.device, static_cast<std::uint32_t>(blob_id))};
  if (!blob || blob->length < metadata_min_size) return;
  const auto* bytes = static_cast<const std::uint8_t*>(blob->data);
  reply.hdr_eotf = bytes[eotf_offset];
  reply.hdr_peak_nits = read_u16(bytes, max_content_light_level_offset);
  if (reply.hdr_peak_nits == 0) reply.hdr_peak_nits = read_u16(bytes, max_mastering_luminance_offset);
  if (reply.hdr_eotf == eotf_smpte_st2084 || reply.hdr_eotf == eotf_hlg) {
    helper_log("HDR scanout eotf=%u peak=%u nits", reply.hdr_eotf, reply.hdr_peak_nits);
  }
}

}  // namespace scanwell
