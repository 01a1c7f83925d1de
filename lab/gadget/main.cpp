// gadget-kvm: the KVM's USB device, for the lab's guest. Creates a gadget on
// a USB device controller (dummy_udc in the lab) whose one function is the
// KVM's vendor interface, served over FunctionFS, and answers as the
// simulated KVM of the USB tests (session requests, signed handshake) until
// SIGTERM or SIGINT; then it unplugs and removes the gadget.
//   gadget-kvm [--name NAME] [--udc UDC] [--product TEXT] [--ready FILE]
//              [--refuse-reset] [--reset-state in-use|cannot-cancel] [--superseded]
//              [--stale-bytes N] [--session-config JSON] [--then-send FILE]
//              [--read-limit N] [--unplug-after N] [--no-digest] [--key-seed N]
// --ready FILE is created each time the host has configured the device.
// --stale-bytes sends N bytes of an earlier session's frames ahead of each
// session.ready; --session-config gives the JSON text of session.config (the
// USB tests' settings without it: terminals on, files off); --then-send
// sends the bytes of FILE (frames, as the KVM writes them) after each
// session.config; --read-limit stops reading the host's writes after N
// bytes, at the end of a frame;
// --unplug-after unbinds from the controller once N bytes have arrived;
// --no-digest stops logging each frame beyond the session channel and the
// services' messages. Every frame logged gets a line with its length and
// digest; session frames and the services' messages a second one with their
// payload (session.info as text, the other session frames and the state
// messages in hex, the other service messages as text with every byte
// outside printable ASCII written \xNN and a backslash \\, cut after 4096
// bytes).
// --key-seed gives the KVM another key (1 to 255; 1 without it), so that
// two gadgets on one machine are two KVMs with their own fingerprints.
// The KVM's fingerprint is logged at the start.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <optional>
#include <string>
#include <vector>

#include "configfs_gadget.hpp"
#include "ep0_loop.hpp"
#include "function_fs.hpp"
#include "log.hpp"
#include "simulated_kvm_behaviour.hpp"
#include "system/files.hpp"
#include "termination_signal.hpp"

namespace corvane::lab {
namespace {

struct Options {
  GadgetIdentity identity{"kvm", "Tarvek USB Emulation Device"};
  std::string udc;
  std::string ready_file;
  bool refuse_reset = false;
  bool superseded = false;
  SessionState reset_state = SessionState::ready;
  uint64_t stale_bytes = 0;
  std::string session_config;
  std::string then_send;
  uint64_t key_seed = 1;
  StreamOptions streams;
};

Result<uint64_t> parse_count(const std::string& option, const std::string& text) {
  uint64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) {
    return fail(option + " needs a number, not " + text);
  }
  return value;
}

Result<SessionState> parse_reset_state(const std::string& text) {
  if (text == "in-use") return SessionState::in_use;
  if (text == "cannot-cancel") return SessionState::cancel_failed;
  return fail("--reset-state is in-use or cannot-cancel, not " + text);
}

Result<> parse_valued(Options& options, const std::string& option, const std::string& value) {
  std::string* text = option == "--name"             ? &options.identity.name
                      : option == "--udc"            ? &options.udc
                      : option == "--product"        ? &options.identity.product
                      : option == "--ready"          ? &options.ready_file
                      : option == "--session-config" ? &options.session_config
                      : option == "--then-send"      ? &options.then_send
                                                     : nullptr;
  if (text) {
    *text = value;
    return {};
  }
  if (option == "--reset-state") {
    auto state = parse_reset_state(value);
    if (!state) return std::unexpected(state.error());
    options.reset_state = *state;
    return {};
  }
  uint64_t* count = option == "--stale-bytes"    ? &options.stale_bytes
                    : option == "--read-limit"   ? &options.streams.read_limit
                    : option == "--unplug-after" ? &options.streams.unplug_after
                    : option == "--key-seed"     ? &options.key_seed
                                                 : nullptr;
  if (count == nullptr) return fail("unknown argument " + option);
  auto parsed = parse_count(option, value);
  if (!parsed) return std::unexpected(parsed.error());
  if (count == &options.key_seed && (*parsed == 0 || *parsed > UINT8_MAX)) {
    return fail("--key-seed is 1 to 255, not " + value);
  }
  *count = *parsed;
  return {};
}

Result<Options> parse_options(const std::vector<std::string>& args) {
  Options options;
  for (size_t i = 0; i < args.size(); ++i) {
    const auto& arg = args[i];
    if (arg == "--no-digest") {
      options.streams.digest = false;
      continue;
    }
    if (arg == "--refuse-reset" || arg == "--superseded") {
      (arg == "--refuse-reset" ? options.refuse_reset : options.superseded) = true;
      continue;
    }
    if (i + 1 == args.size()) return fail(arg + " needs a value");
    if (auto parsed = parse_valued(options, arg, args[++i]); !parsed) {
      return std::unexpected(parsed.error());
    }
  }
  return options;
}

// Whole session.ready frames of an earlier session, cut to length bytes:
// what a KVM may still have queued from the last host that talked to it.
test::Bytes stale_frames(const test::SimulatedKvm& kvm, uint64_t length) {
  SessionToken earlier;
  earlier.fill(0xee);
  const test::Bytes hello(52, 0x11);
  auto frame = kvm.ready_frame(earlier, hello);
  test::Bytes bytes;
  while (bytes.size() < length) bytes.insert(bytes.end(), frame.begin(), frame.end());
  bytes.resize(length);
  return bytes;
}

Result<> script(test::SimulatedKvm& kvm, const Options& options) {
  if (options.refuse_reset) kvm.reset.resetting_answers = -1;
  kvm.reset.final_state = options.reset_state;
  kvm.reset.superseded = options.superseded;
  if (options.stale_bytes > 0)
    kvm.handshake.before_ready = {stale_frames(kvm, options.stale_bytes)};
  if (!options.session_config.empty()) kvm.handshake.config_json = options.session_config;
  if (options.then_send.empty()) return {};
  auto frames = read_whole_file(options.then_send);
  if (!frames) return fail(options.then_send + ": " + frames.error().message);
  kvm.handshake.after_config = {test::Bytes(frames->begin(), frames->end())};
  return {};
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

  test::SimulatedKvm kvm(static_cast<uint8_t>(options.key_seed));
  if (auto scripted = script(kvm, options); !scripted) return scripted;
  log_line("gadget-kvm: fingerprint " + format_fingerprint(kvm.fingerprint()));
  SimulatedKvmBehaviour behaviour(kvm, options.streams, [&] { binding->unplug(); });
  return serve_ep0(function->ep0(), signals->get(), behaviour, [&] {
    behaviour.start_streams(function->bulk_out(), function->bulk_in());
    mark_ready(options.ready_file);
  });
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
