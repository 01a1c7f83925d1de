#pragma once
// The desktop clipboard as the worker sees it: open it once, then read and
// write its text. Only the worker thread calls into a facility.
#include <expected>
#include <functional>
#include <memory>
#include <string>

#include "error.hpp"

namespace corvane {

enum class ClipboardFailureKind {
  // The clipboard is empty or holds nothing with a text form.
  no_text,
  // The facility cannot serve this kind of clipboard.
  unsupported,
  other,
};

struct ClipboardFailure {
  ClipboardFailureKind kind = ClipboardFailureKind::other;
  std::string text;
};

template <class T = void>
using ClipboardResult = std::expected<T, ClipboardFailure>;

inline std::unexpected<ClipboardFailure> clipboard_failure(ClipboardFailureKind kind,
                                                          std::string text = {}) {
  return std::unexpected(ClipboardFailure{kind, std::move(text)});
}

class ClipboardFacility {
 public:
  virtual ~ClipboardFacility() = default;
  // The regular clipboard's text as UTF-8, never the primary selection.
  virtual ClipboardResult<std::string> read_text() = 0;
  // Makes text the clipboard's content. The facility goes on serving it to
  // other programs after returning, for as long as it lives or until
  // another program takes the clipboard over.
  virtual ClipboardResult<> write_text(std::string text) = 0;
};

using ClipboardOpener = std::function<Result<std::unique_ptr<ClipboardFacility>>()>;

}  // namespace corvane
