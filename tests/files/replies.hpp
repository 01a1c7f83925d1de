#pragma once
// The file and update replies as the KVM reads them: accept and credit
// carry an amount, result a status and a text.
#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "session/byte_order.hpp"
#include "session/catalogue.hpp"
#include "session/outbound_command.hpp"
#include "system/channel.hpp"

namespace corvane::test {

struct Reply {
  MessageId id;
  uint32_t transfer = 0;
  uint32_t value = 0;  // credit, or the result's status
  std::string text;
  friend bool operator==(const Reply&, const Reply&) = default;
};

inline void PrintTo(const Reply& reply, std::ostream* out) {
  *out << "{" << reply.id.channel << "." << reply.id.type << " id " << reply.transfer << " value "
       << reply.value << " \"" << reply.text << "\"}";
}

inline Reply parse_reply(MessageId id, std::span<const uint8_t> payload) {
  Reply reply{id};
  if (payload.size() < 8) return reply;
  reply.transfer = load_le<uint32_t>(payload.data());
  reply.value = load_le<uint32_t>(payload.data() + 4);
  reply.text.assign(payload.begin() + 8, payload.end());
  return reply;
}

inline Reply accept(uint32_t id, uint32_t credit = 524288, bool update = false) {
  return {update ? message::update_accept : message::file_accept, id, credit, {}};
}
inline Reply credit(uint32_t id, uint32_t amount, bool update = false) {
  return {update ? message::update_credit : message::file_credit, id, amount, {}};
}
inline Reply result(uint32_t id, uint32_t status, std::string text = {}, bool update = false) {
  return {update ? message::update_result : message::file_result, id, status, std::move(text)};
}

// Everything a service has put into its reply queue since the last call.
inline std::vector<Reply> take_replies(Receiver<OutboundCommand>& queue) {
  std::vector<Reply> replies;
  for (auto received = queue.try_receive(); received.message; received = queue.try_receive()) {
    const auto& message = std::get<ServiceMessage>(*received.message).message;
    replies.push_back(parse_reply(message.id(), message.payload));
  }
  return replies;
}

}  // namespace corvane::test
