#include "session/catalogue.hpp"

#include <array>

namespace corvane {
namespace {

constexpr Direction K = Direction::from_kvm;
constexpr Direction H = Direction::to_kvm;

constexpr std::array catalogue{
    CatalogueEntry{message::session_hello, H, "session.hello"},
    CatalogueEntry{message::session_ready, K, "session.ready"},
    CatalogueEntry{message::session_keepalive, H, "session.keepalive"},
    CatalogueEntry{message::session_close, H, "session.close"},
    CatalogueEntry{message::session_config, K, "session.config"},
    CatalogueEntry{message::session_info, H, "session.info"},
    CatalogueEntry{message::video_state, H, "video.state"},
    CatalogueEntry{message::video_config, K, "video.config"},
    CatalogueEntry{message::video_status, H, "video.status"},
    CatalogueEntry{message::video_access_unit, H, "video.access_unit"},
    CatalogueEntry{message::video_request_keyframe, K, "video.request_keyframe"},
    CatalogueEntry{message::clipboard_state, H, "clipboard.state"},
    CatalogueEntry{message::clipboard_get, K, "clipboard.get"},
    CatalogueEntry{message::clipboard_data, H, "clipboard.data"},
    CatalogueEntry{message::clipboard_set, K, "clipboard.set"},
    CatalogueEntry{message::clipboard_result, H, "clipboard.result"},
    CatalogueEntry{message::clipboard_config, K, "clipboard.config"},
    CatalogueEntry{message::terminal_state, H, "terminal.state"},
    CatalogueEntry{message::terminal_open, K, "terminal.open"},
    CatalogueEntry{message::terminal_opened, H, "terminal.opened"},
    CatalogueEntry{message::terminal_input, K, "terminal.input"},
    CatalogueEntry{message::terminal_output, H, "terminal.output"},
    CatalogueEntry{message::terminal_resize, K, "terminal.resize"},
    CatalogueEntry{message::terminal_close, K, "terminal.close"},
    CatalogueEntry{message::terminal_closed, H, "terminal.closed"},
    CatalogueEntry{message::terminal_credit, K, "terminal.credit"},
    CatalogueEntry{message::file_state, H, "file.state"},
    CatalogueEntry{message::file_drop, K, "file.drop"},
    CatalogueEntry{message::file_accept, H, "file.accept"},
    CatalogueEntry{message::file_chunk, K, "file.chunk"},
    CatalogueEntry{message::file_credit, H, "file.credit"},
    CatalogueEntry{message::file_result, H, "file.result"},
    CatalogueEntry{message::file_cancel, K, "file.cancel"},
    CatalogueEntry{message::update_state, H, "update.state"},
    CatalogueEntry{message::update_begin, K, "update.begin"},
    CatalogueEntry{message::update_accept, H, "update.accept"},
    CatalogueEntry{message::update_chunk, K, "update.chunk"},
    CatalogueEntry{message::update_credit, H, "update.credit"},
    CatalogueEntry{message::update_result, H, "update.result"},
    CatalogueEntry{message::update_cancel, K, "update.cancel"},
};

}  // namespace

std::span<const CatalogueEntry> message_catalogue() { return catalogue; }

uint32_t payload_limit(MessageId id) {
  return id == message::video_access_unit ? access_unit_payload_limit : control_payload_limit;
}

}  // namespace corvane
