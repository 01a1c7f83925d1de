#include "command_line.hpp"

#include <utility>

#include "system/utf8.hpp"

namespace corvane {

const char* const usage_text =
    "usage: corvane [--run | --install-service | --uninstall-service | --approve-kvm "
    "<fingerprint> | --forget-kvm <fingerprint>]";

namespace {

constexpr std::pair<const char*, Mode> single_options[] = {
    {"--run", Mode::run},
    {"--install-service", Mode::install_service},
    {"--uninstall-service", Mode::uninstall_service},
    {"--install-linux-access", Mode::install_linux_access},
    {"--install-linux-usb-access", Mode::install_linux_usb_access},
    {"--install-linux-capture-access", Mode::install_linux_capture_access},
};

std::vector<std::string> as_text(const std::vector<std::string>& args) {
  std::vector<std::string> text;
  for (const auto& arg : args) text.push_back(is_valid_utf8(arg) ? arg : std::string());
  return text;
}

}  // namespace

Result<Command> parse_command_line(const std::vector<std::string>& raw) {
  const auto args = as_text(raw);
  if (!args.empty() && args[0] == "--capture-test") {
    return Command{Mode::capture_test, std::nullopt, args};
  }
  if (args.empty()) return Command{Mode::install_and_notify, std::nullopt, {}};
  if (args.size() == 2 && (args[0] == "--approve-kvm" || args[0] == "--forget-kvm")) {
    auto fingerprint = parse_fingerprint(args[1]);
    if (!fingerprint) return std::unexpected(fingerprint.error());
    return Command{args[0] == "--approve-kvm" ? Mode::approve_kvm : Mode::forget_kvm,
                   *fingerprint,
                   {}};
  }
  if (args.size() == 1) {
    for (const auto& [option, mode] : single_options) {
      if (args[0] == option) return Command{mode, std::nullopt, {}};
    }
  }
  return fail(usage_text);
}

}  // namespace corvane
