#include "drm_properties.hpp"

#include "drm_records.hpp"

namespace scanwell {

const std::string* PropertyNames::name(int device, std::uint32_t property_id) {
  auto known = names_.find(property_id);
  if (known != names_.end()) return &known->second;
  Property property{drmModeGetProperty(device, property_id)};
  if (!property) return nullptr;
  return &names_.emplace(property_id, property->name).first->second;
}

std::optional<std::uint64_t> find_property(int device, std::uint32_t object_id, std::uint32_t object_type,
                                           const char* name, PropertyNames& names) {
  ObjectProperties properties{drmModeObjectGetProperties(device, object_id, object_type)};
  if (!properties) return std::nullopt;
  for (std::uint32_t i = 0; i < properties->count_props; ++i) {
    const std::string* property = names.name(device, properties->props[i]);
    if (property && *property == name) return properties->prop_values[i];
  }
  return std::nullopt;
}

}  // namespace scanwell
