// gadget-kvm: the KVM's USB device, for the lab's guest. Creates a gadget on
// a USB device controller (dummy_udc in the lab) whose one function is the
// KVM's vendor interface, served over FunctionFS, and answers as a KVM until
// SIGTERM or SIGINT; then it unplugs and removes the gadget.
//   gadget-kvm [--name NAME] [--udc UDC] [--product TEXT] [--ready FILE] [--refuse-reset]
// --ready FILE is created each time the host has configured the device.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "configfs_gadget.hpp"
#include "ep0_loop.hpp"
#include "function_fs.hpp"
#include "log.hpp"
#include "session_reset_kvm.hpp"
#include "termination_signal.hpp"

namespace corvane::lab {
namespace {

struct Options {
  GadgetIdentity identity{"kvm", "Tarvek USB Emulation Device"};
  std::string udc;
  std::string ready_file;
  bool refuse_reset = false;
};

Result<Options> parse_options(const std::vector<std::string>& args) {
  Options options;
  for (size_t i = 0; i < args.size(); ++i) {
    const auto& arg = args[i];
    if (arg == "--refuse-reset") {
      options.refuse_reset = true;
      continue;
    }
    std::string* value = arg == "--name"      ? &options.identity.name
                         : arg == "--udc"     ? &options.udc
                         : arg == "--product" ? &options.identity.product
                         : arg == "--ready"   ? &options.ready_file
                                              : nullptr;
    if (value == nullptr) return fail("unknown argument " + arg);
    if (i + 1 == args.size()) return fail(arg + " needs a value");
    *value = args[++i];
  }
  return options;
}

void mark_ready(const std::string& ready_file) {
  if (ready_file.empty()) return;
  UniqueFd fd(::open(ready_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd) log_line("gadget-kvm: create " + ready_file + ": " + os_error_text(errno));
}

Result<> run(const Options& options) {
  auto signals = termination_signal_fd();
  if (!signals) return std::unexpected(signals.error());
  auto udc = options.udc.empty() ? first_udc() : Result<std::string>(options.udc);
  if (!udc) return std::unexpected(udc.error());

  // Declared in the order of set-up, so teardown runs the other way round:
  // unplug first, then close and unmount FunctionFS, then remove the tree.
  auto gadget = ConfigfsGadget::create(options.identity);
  if (!gadget) return std::unexpected(gadget.error());
  auto function = FunctionFs::start(gadget->function_instance(), "Tarvek KVM");
  if (!function) return std::unexpected(function.error());
  auto binding = UdcBinding::bind(*gadget, *udc);
  if (!binding) return std::unexpected(binding.error());
  log_line("gadget-kvm: bound " + options.identity.name + " to " + *udc);

  SessionResetKvm behaviour(options.refuse_reset);
  return serve_ep0(function->ep0(), signals->get(), behaviour,
                   [&] { mark_ready(options.ready_file); });
}

}  // namespace
}  // namespace corvane::lab

int main(int argc, char** argv) {
  using namespace corvane;
  auto options = lab::parse_options(std::vector<std::string>(argv + 1, argv + argc));
  auto done = options ? lab::run(*options) : Result<>(std::unexpected(options.error()));
  if (!done) {
    log_line("gadget-kvm: " + done.error().message);
    return 1;
  }
  return 0;
}
