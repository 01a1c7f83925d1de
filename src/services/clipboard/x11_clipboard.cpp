#include "services/clipboard/x11_clipboard.hpp"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "system/unique_fd.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using Deadline = std::chrono::steady_clock::time_point;

// How long the owner of the selection gets for each step of a transfer,
// and the serving thread for taking the selection over.
constexpr auto step_time = 1s;
// Texts above this go out incrementally, as ICCCM's INCR asks for large
// data; the chunk stays well below every server's request limit.
constexpr size_t largest_chunk = 64 * 1024;

template <class T>
struct FreeDeleter {
  void operator()(T* pointer) const { std::free(pointer); }
};
template <class T>
using XcbReply = std::unique_ptr<T, FreeDeleter<T>>;
using XcbEvent = XcbReply<xcb_generic_event_t>;

struct ConnectionDeleter {
  void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};
using XcbConnection = std::unique_ptr<xcb_connection_t, ConnectionDeleter>;

struct Atoms {
  xcb_atom_t clipboard = XCB_ATOM_NONE;
  xcb_atom_t utf8_string = XCB_ATOM_NONE;
  xcb_atom_t targets = XCB_ATOM_NONE;
  xcb_atom_t incr = XCB_ATOM_NONE;
  xcb_atom_t transfer = XCB_ATOM_NONE;
};

uint8_t event_type(const xcb_generic_event_t& event) { return event.response_type & 0x7f; }

Result<xcb_atom_t> intern(xcb_connection_t* connection, const char* name) {
  auto cookie = xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name);
  XcbReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(connection, cookie, nullptr));
  if (!reply) return fail(std::string("the X11 server did not name the atom ") + name);
  return reply->atom;
}

Result<Atoms> intern_atoms(xcb_connection_t* connection) {
  Atoms atoms;
  for (auto [name, atom] : {std::pair{"CLIPBOARD", &atoms.clipboard},
                            std::pair{"UTF8_STRING", &atoms.utf8_string},
                            std::pair{"TARGETS", &atoms.targets}, std::pair{"INCR", &atoms.incr},
                            std::pair{"CORVANE_CLIPBOARD", &atoms.transfer}}) {
    auto interned = intern(connection, name);
    if (!interned) return std::unexpected(interned.error());
    *atom = *interned;
  }
  return atoms;
}

struct Client {
  XcbConnection connection;
  xcb_window_t window = XCB_WINDOW_NONE;
};

// A connection with an invisible window of its own that hears about
// changes of its properties.
Result<Client> connect_client() {
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) return fail("no X11 display: DISPLAY is not set");
  XcbConnection connection(xcb_connect(nullptr, nullptr));
  if (xcb_connection_has_error(connection.get())) {
    return fail(std::string("cannot connect to the X11 display ") + display);
  }
  auto* screen = xcb_setup_roots_iterator(xcb_get_setup(connection.get())).data;
  if (!screen) return fail(std::string("the X11 display ") + display + " has no screen");
  xcb_window_t window = xcb_generate_id(connection.get());
  const uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_create_window(connection.get(), XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &events);
  return Client{std::move(connection), window};
}

// The next event, or nothing once deadline has passed or the connection
// is lost.
XcbEvent next_event(xcb_connection_t* connection, Deadline deadline) {
  for (;;) {
    if (XcbEvent event{xcb_poll_for_event(connection)}) return event;
    if (xcb_connection_has_error(connection)) return nullptr;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                             std::chrono::steady_clock::now());
    if (left <= 0ms) return nullptr;
    pollfd descriptor{xcb_get_file_descriptor(connection), POLLIN, 0};
    ::poll(&descriptor, 1, static_cast<int>(left.count()));
  }
}

// An incremental transfer to one requestor: each time the requestor
// deletes the property, the next chunk goes in; an empty chunk ends it.
struct OutgoingTransfer {
  std::shared_ptr<const std::string> text;
  size_t offset = 0;
};

struct PendingWrite {
  std::string text;
  std::promise<ClipboardResult<>> done;
};

class X11Clipboard final : public ClipboardFacility {
 public:
  X11Clipboard(Client reader, Client server, Atoms atoms, UniqueFd wake)
      : reader_(std::move(reader)), server_(std::move(server)), atoms_(atoms),
        wake_(std::move(wake)) {
    auto limit = static_cast<size_t>(xcb_get_maximum_request_length(server_.connection.get())) * 4;
    chunk_ = std::min(largest_chunk, limit / 2);
    serving_ = std::thread([this] {
      ::pthread_setname_np(::pthread_self(), "clipboard-x11");
      serve();
    });
  }

  ~X11Clipboard() override {
    stopping_.store(true);
    signal_wake();
    serving_.join();
  }

  ClipboardResult<std::string> read_text() override {
    auto* connection = reader_.connection.get();
    auto owner_cookie = xcb_get_selection_owner(connection, atoms_.clipboard);
    XcbReply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(connection, owner_cookie, nullptr));
    if (!owner) return lost();
    if (owner->owner == XCB_WINDOW_NONE) return clipboard_failure(ClipboardFailureKind::no_text);
    xcb_delete_property(connection, reader_.window, atoms_.transfer);
    xcb_convert_selection(connection, reader_.window, atoms_.clipboard, atoms_.utf8_string,
                          atoms_.transfer, XCB_CURRENT_TIME);
    xcb_flush(connection);
    auto converted = wait_for_conversion();
    if (!converted) return std::unexpected(converted.error());
    return take_property();
  }

  ClipboardResult<> write_text(std::string text) override {
    auto done = std::make_shared<PendingWrite>();
    done->text = std::move(text);
    auto result = done->done.get_future();
    {
      std::lock_guard lock(mutex_);
      pending_ = done;
    }
    signal_wake();
    if (result.wait_for(step_time) != std::future_status::ready) {
      return clipboard_failure(ClipboardFailureKind::other,
                               "the X11 clipboard thread did not answer");
    }
    return result.get();
  }

 private:
  static std::unexpected<ClipboardFailure> lost() {
    return clipboard_failure(ClipboardFailureKind::other, "the X11 connection was lost");
  }
  static std::unexpected<ClipboardFailure> owner_silent() {
    return clipboard_failure(ClipboardFailureKind::other, "the clipboard owner did not answer");
  }

  // --- reading, on the worker's thread ---

  ClipboardResult<> wait_for_conversion() {
    auto* connection = reader_.connection.get();
    const auto deadline = std::chrono::steady_clock::now() + step_time;
    for (;;) {
      auto event = next_event(connection, deadline);
      if (!event) return xcb_connection_has_error(connection) ? lost() : owner_silent();
      if (event_type(*event) != XCB_SELECTION_NOTIFY) continue;
      auto& notify = reinterpret_cast<xcb_selection_notify_event_t&>(*event);
      if (notify.requestor != reader_.window || notify.selection != atoms_.clipboard) continue;
      // The owner has no text form of what it holds.
      if (notify.property == XCB_ATOM_NONE) return clipboard_failure(ClipboardFailureKind::no_text);
      return {};
    }
  }

  XcbReply<xcb_get_property_reply_t> take_value() {
    auto* connection = reader_.connection.get();
    auto cookie = xcb_get_property(connection, 1, reader_.window, atoms_.transfer,
                                   XCB_GET_PROPERTY_TYPE_ANY, 0, UINT32_MAX / 4);
    return XcbReply<xcb_get_property_reply_t>(xcb_get_property_reply(connection, cookie, nullptr));
  }

  static std::string_view value_bytes(xcb_get_property_reply_t& reply) {
    return {static_cast<const char*>(xcb_get_property_value(&reply)),
            static_cast<size_t>(xcb_get_property_value_length(&reply))};
  }

  ClipboardResult<std::string> take_property() {
    auto value = take_value();
    if (!value) return lost();
    if (value->type != atoms_.incr) return std::string(value_bytes(*value));
    // Deleting the INCR property (done by taking it) asks for the first
    // chunk; every chunk arrives as a new value of the property.
    std::string text;
    for (;;) {
      if (auto waited = wait_for_new_value(); !waited) return std::unexpected(waited.error());
      auto chunk = take_value();
      if (!chunk) return lost();
      auto bytes = value_bytes(*chunk);
      if (bytes.empty()) return text;
      text += bytes;
    }
  }

  ClipboardResult<> wait_for_new_value() {
    auto* connection = reader_.connection.get();
    const auto deadline = std::chrono::steady_clock::now() + step_time;
    for (;;) {
      auto event = next_event(connection, deadline);
      if (!event) return xcb_connection_has_error(connection) ? lost() : owner_silent();
      if (event_type(*event) != XCB_PROPERTY_NOTIFY) continue;
      auto& notify = reinterpret_cast<xcb_property_notify_event_t&>(*event);
      if (notify.window == reader_.window && notify.atom == atoms_.transfer &&
          notify.state == XCB_PROPERTY_NEW_VALUE) {
        return {};
      }
    }
  }

  // --- serving, on the facility's own thread ---

  void signal_wake() {
    uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wake_.get(), &one, sizeof one);
  }

  void serve() {
    auto* connection = server_.connection.get();
    for (;;) {
      while (XcbEvent event{xcb_poll_for_event(connection)}) handle(*event);
      xcb_flush(connection);
      // A lost connection has nothing more to say; only a write or the
      // end can wake the thread then.
      bool connected = !xcb_connection_has_error(connection);
      pollfd descriptors[2] = {{wake_.get(), POLLIN, 0},
                               {xcb_get_file_descriptor(connection), POLLIN, 0}};
      ::poll(descriptors, connected ? 2 : 1, -1);
      if (!(descriptors[0].revents & POLLIN)) continue;
      uint64_t count = 0;
      [[maybe_unused]] auto drained = ::read(wake_.get(), &count, sizeof count);
      if (stopping_.load()) return;
      take_pending_write();
    }
  }

  void take_pending_write() {
    std::shared_ptr<PendingWrite> write;
    {
      std::lock_guard lock(mutex_);
      write = std::exchange(pending_, nullptr);
    }
    if (write) write->done.set_value(take_selection(std::move(write->text)));
  }

  ClipboardResult<> take_selection(std::string text) {
    auto* connection = server_.connection.get();
    if (xcb_connection_has_error(connection)) return lost();
    served_ = std::make_shared<const std::string>(std::move(text));
    xcb_set_selection_owner(connection, server_.window, atoms_.clipboard, XCB_CURRENT_TIME);
    auto cookie = xcb_get_selection_owner(connection, atoms_.clipboard);
    XcbReply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(connection, cookie, nullptr));
    if (!owner) return lost();
    if (owner->owner != server_.window) {
      served_.reset();
      return clipboard_failure(ClipboardFailureKind::other,
                               "the X11 server did not make us the clipboard owner");
    }
    return {};
  }

  void handle(const xcb_generic_event_t& event) {
    switch (event_type(event)) {
      case XCB_SELECTION_REQUEST:
        answer(reinterpret_cast<const xcb_selection_request_event_t&>(event));
        break;
      case XCB_SELECTION_CLEAR:
        // Another program took the clipboard over.
        served_.reset();
        break;
      case XCB_PROPERTY_NOTIFY:
        continue_transfer(reinterpret_cast<const xcb_property_notify_event_t&>(event));
        break;
      case XCB_DESTROY_NOTIFY:
        drop_transfers_to(reinterpret_cast<const xcb_destroy_notify_event_t&>(event).window);
        break;
      default:
        break;
    }
  }

  void answer(const xcb_selection_request_event_t& request) {
    // Clients from before ICCCM 2 name no property; the target is used.
    xcb_atom_t property = request.property == XCB_ATOM_NONE ? request.target : request.property;
    if (request.selection != atoms_.clipboard || !served_ || !provide(request, property)) {
      property = XCB_ATOM_NONE;
    }
    xcb_selection_notify_event_t notify{};
    notify.response_type = XCB_SELECTION_NOTIFY;
    notify.time = request.time;
    notify.requestor = request.requestor;
    notify.selection = request.selection;
    notify.target = request.target;
    notify.property = property;
    xcb_send_event(server_.connection.get(), 0, request.requestor, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&notify));
  }

  // Puts what the requestor asked for into its property; false when we
  // have no such form.
  bool provide(const xcb_selection_request_event_t& request, xcb_atom_t property) {
    auto* connection = server_.connection.get();
    if (request.target == atoms_.targets) {
      const xcb_atom_t offered[] = {atoms_.targets, atoms_.utf8_string};
      xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request.requestor, property,
                          XCB_ATOM_ATOM, 32, 2, offered);
      return true;
    }
    if (request.target != atoms_.utf8_string) return false;
    if (served_->size() <= chunk_) {
      xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request.requestor, property,
                          atoms_.utf8_string, 8, static_cast<uint32_t>(served_->size()),
                          served_->data());
      return true;
    }
    // Hear the requestor delete the property after each chunk, and learn
    // when its window goes away in the middle of a transfer.
    const uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection, request.requestor, XCB_CW_EVENT_MASK, &events);
    const auto size = static_cast<uint32_t>(served_->size());
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request.requestor, property,
                        atoms_.incr, 32, 1, &size);
    transfers_[{request.requestor, property}] = OutgoingTransfer{served_, 0};
    return true;
  }

  void continue_transfer(const xcb_property_notify_event_t& notify) {
    if (notify.state != XCB_PROPERTY_DELETE) return;
    auto found = transfers_.find({notify.window, notify.atom});
    if (found == transfers_.end()) return;
    auto& transfer = found->second;
    const size_t length = std::min(chunk_, transfer.text->size() - transfer.offset);
    xcb_change_property(server_.connection.get(), XCB_PROP_MODE_REPLACE, notify.window,
                        notify.atom, atoms_.utf8_string, 8, static_cast<uint32_t>(length),
                        transfer.text->data() + transfer.offset);
    transfer.offset += length;
    if (length == 0) transfers_.erase(found);
  }

  void drop_transfers_to(xcb_window_t window) {
    std::erase_if(transfers_, [window](const auto& entry) { return entry.first.first == window; });
  }

  Client reader_;
  Client server_;
  Atoms atoms_;
  UniqueFd wake_;
  size_t chunk_ = largest_chunk;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::shared_ptr<PendingWrite> pending_;
  // Owned by the serving thread.
  std::shared_ptr<const std::string> served_;
  std::map<std::pair<xcb_window_t, xcb_atom_t>, OutgoingTransfer> transfers_;
  std::thread serving_;
};

}  // namespace

Result<std::unique_ptr<ClipboardFacility>> open_x11_clipboard() {
  auto reader = connect_client();
  if (!reader) return std::unexpected(reader.error());
  auto server = connect_client();
  if (!server) return std::unexpected(server.error());
  auto atoms = intern_atoms(reader->connection.get());
  if (!atoms) return std::unexpected(atoms.error());
  UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake) return fail("cannot create the clipboard's wake-up descriptor: " + os_error_text(errno));
  return std::make_unique<X11Clipboard>(std::move(*reader), std::move(*server), *atoms,
                                        std::move(wake));
}

}  // namespace corvane
