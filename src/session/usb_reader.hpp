#pragma once
// The USB reader: the one thread that reads from the KVM. It takes frames
// from the receive buffer, decodes them and posts them to the service hub;
// file drops and updates it handles itself, so that their bytes go from the
// USB stream straight to disk.
#include <atomic>
#include <memory>

#include "services/file_drop/file_drop_service.hpp"
#include "services/update/update_receiver.hpp"

#include "session/inbound_message.hpp"
#include "session/outbound_command.hpp"
#include "session/usb_connection.hpp"
#include "system/channel.hpp"

namespace corvane {

using ReaderStopFlag = std::shared_ptr<std::atomic<bool>>;

struct UsbReader {
  std::shared_ptr<UsbConnection> connection;
  Sender<InboundMessage> inbound;
  // For the replies of the services that run on this thread.
  Sender<OutboundCommand> outbound;
  ReaderStopFlag stop;
  FileDropService files;
  UpdateReceiver updates;
};

// The thread body ("usb-reader"). Its last message into the inbound queue
// is always ReaderStopped with the reason it stopped.
void run_usb_reader(UsbReader reader);

}  // namespace corvane
