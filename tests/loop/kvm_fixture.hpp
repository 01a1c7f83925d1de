#pragma once
// A simulated KVM on the in-process bus, approved in a private store that
// the service finds through HOME, and a log that the test reads back.
#include <cstdlib>

#include "approval.hpp"
#include "in_process_usb.hpp"
#include "services/session_services.hpp"
#include "session/catalogue.hpp"
#include "stderr_capture.hpp"
#include "support/stand_in_clipboard.hpp"
#include "support/temp_dir.hpp"

namespace corvane::test {

class KvmFixture {
 public:
  KvmFixture() {
    ::setenv("HOME", home.path().c_str(), 1);
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("APPIMAGE");
  }

  SimulatedUsbDevice& plug_approved(uint8_t address = 2) {
    SimulatedDeviceConfig config;
    config.address = address;
    auto& device = host.plug(config);
    auto store = store_path();
    if (store) approve(*store, device.fingerprint());
    return device;
  }

  SessionServices services() {
    return {
        .display_names = [] { return std::vector<std::string>{"card0-HDMI-A-1"}; },
        .clipboard = std::make_shared<ClipboardWorkerHandle>(clipboard.opener()),
        .file_destination_available = [] { return true; },
    };
  }

  static std::vector<MessageId> ids(const std::vector<KvmFrame>& frames) {
    std::vector<MessageId> result;
    for (const auto& frame : frames) result.push_back(frame.id());
    return result;
  }

  static bool received(SimulatedUsbDevice& device, MessageId id) {
    for (const auto& frame : device.received()) {
      if (frame.id() == id) return true;
    }
    return false;
  }

  StderrCapture log;
  StandInClipboard clipboard;
  TempDir home;
  InProcessUsbHost host{steady_clock()};
};

}  // namespace corvane::test
