#include "supervisor/linux_access.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <optional>

#include "log.hpp"
#include "supervisor/run_tool.hpp"
#include "system/files.hpp"
#include "system/paths.hpp"
#include "system/unique_fd.hpp"
#include "system/utf8.hpp"

namespace corvane {

const char* const usb_rule_text =
    "# Lets the user of the active local session open any KVM that offers\n"
    "# Corvane, whatever USB vendor and product ID the KVM presents.\n"
    "#\n"
    "# The match is on the Corvane interface: class ff, subclass 4a, protocol\n"
    "# 01 (see PROTOCOL.md). udev's usb_id lists every interface of a USB device in\n"
    "# ID_USB_INTERFACES, as \":ccsspp:ccsspp:\" in lowercase hex. The tag goes on\n"
    "# the device, not the interface, because the sender opens the whole device.\n"
    "# 50-udev-default.rules imports usb_id for every USB device; the first line\n"
    "# imports it in case that has not happened. This file sorts before\n"
    "# 71-seat.rules and 73-seat-late.rules, which turn the tag into access.\n"
    "ACTION!=\"remove\", SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", "
    "ENV{ID_USB_INTERFACES}==\"\", IMPORT{builtin}=\"usb_id\"\n"
    "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ENV{ID_USB_INTERFACES}==\"*:ff4a01:*\", "
    "TAG+=\"uaccess\"\n";

namespace {

namespace fs = std::filesystem;

constexpr const char* rule_file_name = "70-corvane.rules";
constexpr const char* rule_file = "/etc/udev/rules.d/70-corvane.rules";
constexpr const char* rule_directories[] = {
    "etc/udev/rules.d", "run/udev/rules.d", "usr/local/lib/udev/rules.d",
    "usr/lib/udev/rules.d", "lib/udev/rules.d"};
constexpr const char* capture_group = "corvane-capture";
constexpr const char* libexec_dir = "/usr/local/libexec";
constexpr const char* installed_helper = "/usr/local/libexec/scanwell-helper";
constexpr const char* staged_helper = "/usr/local/libexec/scanwell-helper.new";

Result<> require_root() {
  if (::geteuid() != 0) return fail("administrator privileges are required");
  return {};
}

std::optional<unsigned> read_hex_attribute(const fs::path& file) {
  auto content = read_whole_file(file);
  if (!content || !is_valid_utf8(*content)) return std::nullopt;
  std::string_view text = trim_unicode_whitespace(*content);
  unsigned value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
    return std::nullopt;
  }
  return value;
}

bool is_kvm_interface(const fs::path& entry) {
  return read_hex_attribute(entry / "bInterfaceClass") == 0xffu &&
         read_hex_attribute(entry / "bInterfaceSubClass") == 0x4au &&
         read_hex_attribute(entry / "bInterfaceProtocol") == 0x01u;
}

// A number as a u32 accepts, optionally led by "+"; nothing else.
std::optional<uid_t> parse_uid(const char* text) {
  if (!text) return std::nullopt;
  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  if (digits.empty() || digits.front() == '+' || digits.front() == '-') return std::nullopt;
  uint32_t value = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

std::optional<uid_t> invoking_uid() {
  if (auto uid = parse_uid(std::getenv("PKEXEC_UID"))) return uid;
  return parse_uid(std::getenv("SUDO_UID"));
}

std::optional<std::string> user_name(uid_t uid) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
      !is_valid_utf8(found->pw_name)) {
    return std::nullopt;
  }
  return std::string(found->pw_name);
}

Result<> copy_with_mode(const fs::path& source, const fs::path& destination) {
  UniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in) return fail(os_error_text(errno));
  struct stat status {};
  if (::fstat(in.get(), &status) != 0) return fail(os_error_text(errno));
  if (!S_ISREG(status.st_mode)) {
    return fail("the source path is neither a regular file nor a symlink to a regular file");
  }
  UniqueFd out(::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!out) return fail(os_error_text(errno));
  for (off_t left = status.st_size; left > 0;) {
    ssize_t sent = ::sendfile(out.get(), in.get(), nullptr, static_cast<size_t>(left));
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0) return fail(os_error_text(errno));
    if (sent == 0) break;
    left -= sent;
  }
  if (::fchmod(out.get(), status.st_mode & 07777) != 0) return fail(os_error_text(errno));
  return {};
}

// Order matters: chown clears file capabilities, so setcap comes last.
Result<> prepare_helper(const fs::path& helper) {
  if (::chmod(helper.c_str(), 0750) != 0) {
    return fail("could not set permissions on the helper: " + os_error_text(errno));
  }
  if (auto done = run_tool("groupadd", {"-f", capture_group}); !done) return done;
  if (auto done = run_tool("chown", {std::string("root:") + capture_group, helper.string()});
      !done) {
    return done;
  }
  return run_tool("setcap", {"cap_sys_admin+ep", helper.string()});
}

Result<> install_helper_copy(const fs::path& packaged) {
  std::error_code error;
  fs::create_directories(libexec_dir, error);
  if (error) return fail(std::string("could not create ") + libexec_dir + ": " + error.message());
  if (auto copied = copy_with_mode(packaged, staged_helper); !copied) {
    return fail("could not copy the helper: " + copied.error().message);
  }
  if (auto prepared = prepare_helper(staged_helper); !prepared) {
    ::unlink(staged_helper);
    return prepared;
  }
  if (::rename(staged_helper, installed_helper) != 0) {
    return fail("could not install the helper: " + os_error_text(errno));
  }
  return {};
}

Result<> add_invoking_user_to_group() {
  auto uid = invoking_uid();
  if (!uid || *uid == 0) return {};
  auto name = user_name(*uid);
  if (!name) return {};
  if (auto done = run_tool("usermod", {"-aG", capture_group, *name}); !done) return done;
  print_line("added " + *name + " to " + capture_group + "; capture starts after " + *name +
             " logs in again");
  return {};
}

}  // namespace

bool usb_rule_installed(const fs::path& root) {
  for (const char* directory : rule_directories) {
    auto content = read_whole_file(root / directory / rule_file_name);
    if (!content || !is_valid_utf8(*content)) continue;
    return *content == usb_rule_text;
  }
  return false;
}

std::vector<std::string> plugged_in_kvm_devices(const fs::path& root) {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator entry(root / "sys/bus/usb/devices", error), end;
       !error && entry != end; entry.increment(error)) {
    if (!is_kvm_interface(entry->path())) continue;
    std::error_code vanished;
    auto interface = fs::canonical(entry->path(), vanished);
    if (vanished) continue;
    auto device = interface.parent_path().filename().string();
    if (is_valid_utf8(device)) names.push_back(device);
  }
  std::ranges::sort(names);
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

Result<> install_usb_rule() {
  if (auto root = require_root(); !root) return root;
  // Written aside and renamed, so udev never reads half a rule; it ignores
  // the temporary name, which does not end in .rules.
  const std::string temporary = std::string(rule_file) + "." + std::to_string(::getpid());
  if (auto written = replace_file(rule_file, temporary, usb_rule_text, 0644); !written) {
    return fail(std::string("could not write ") + rule_file + ": " + written.error().message);
  }
  if (::chmod(rule_file, 0644) != 0) {
    return fail(std::string("could not set permissions on ") + rule_file + ": " +
                os_error_text(errno));
  }
  if (auto done = run_tool("udevadm", {"control", "--reload-rules"}); !done) return done;
  for (const auto& name : plugged_in_kvm_devices()) {
    if (auto done = run_tool("udevadm", {"trigger", "--action=change", "--subsystem-match=usb",
                                         "--sysname-match=" + name});
        !done) {
      return done;
    }
  }
  return {};
}

Result<> install_capture_helper() {
  if (auto root = require_root(); !root) return root;
  auto executable = executable_path();
  auto library_dir = executable ? library_dir_beside(*executable) : std::nullopt;
  if (!library_dir) return fail("this build does not carry scanwell-helper");
  const fs::path packaged = *library_dir / "scanwell-helper";
  std::error_code error;
  if (!fs::exists(packaged, error)) return fail("this build does not carry scanwell-helper");
  if (is_below_usr(packaged)) return prepare_helper(packaged);
  return install_helper_copy(packaged);
}

Result<> install_linux_access(LinuxAccess what) {
  switch (what) {
    case LinuxAccess::usb_only:
      return install_usb_rule();
    case LinuxAccess::capture_only:
      if (auto done = install_capture_helper(); !done) return done;
      print_line(std::string("add each user that may capture: usermod -aG ") + capture_group +
                 " <user>");
      return {};
    case LinuxAccess::all:
      if (auto done = install_usb_rule(); !done) return done;
      if (auto done = install_capture_helper(); !done) return done;
      return add_invoking_user_to_group();
  }
  return {};
}

}  // namespace corvane
