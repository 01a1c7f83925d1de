// edid-override: gives a DRM connector an EDID through debugfs, as if a
// display with that manufacturer code were plugged in, or takes it away.
//   edid-override /sys/kernel/debug/dri/0/Virtual-1 ZVN
//   edid-override /sys/kernel/debug/dri/0/Virtual-1 reset
// The connector's sysfs edid file changes at once; its mode list does not.
#include <filesystem>
#include <string>

#include "attribute_file.hpp"
#include "edid.hpp"
#include "log.hpp"

namespace corvane::lab {
namespace {

Result<> override_edid(const std::filesystem::path& connector, const std::string& manufacturer) {
  auto attribute = connector / "edid_override";
  if (manufacturer == "reset") return write_attribute(attribute, "reset");
  auto edid = make_edid(manufacturer);
  if (!edid) return std::unexpected(edid.error());
  return write_attribute(
      attribute, std::string_view(reinterpret_cast<const char*>(edid->data()), edid->size()));
}

}  // namespace
}  // namespace corvane::lab

int main(int argc, char** argv) {
  using namespace corvane;
  if (argc != 3) {
    log_line("usage: edid-override DEBUGFS_CONNECTOR_FOLDER MANUFACTURER|reset");
    return 2;
  }
  if (auto done = lab::override_edid(argv[1], argv[2]); !done) {
    log_line("edid-override: " + done.error().message);
    return 1;
  }
  return 0;
}
