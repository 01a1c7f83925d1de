#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

namespace scanwell {

// Names of a device's properties by id. A property id names the same
// property for as long as the device is open, so each name is read from
// the kernel once, and a lookup costs one query of the object's values.
class PropertyNames {
 public:
  // Null when the property cannot be read.
  const std::string* name(int device, std::uint32_t property_id);

 private:
  std::unordered_map<std::uint32_t, std::string> names_;
};

// The value of the property called `name` of a KMS object of the given
// DRM_MODE_OBJECT_* type; none when the object has no such property or its
// properties cannot be read.
std::optional<std::uint64_t> find_property(int device, std::uint32_t object_id, std::uint32_t object_type,
                                           const char* name, PropertyNames& names);

// The same, reading an absent property as 0.
inline std::uint64_t get_prop_val(int device, std::uint32_t object_id, std::uint32_t object_type, const char* name,
                                  PropertyNames& names) {
  return find_property(device, object_id, object_type, name, names).value_or(0);
}

}  // namespace scanwell
