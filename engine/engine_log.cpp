#include "engine/engine_log.hpp"

extern "C" {
#include <libavutil/error.h>
}

#include <string>

#include "log.hpp"
#include "system/utf8.hpp"

namespace corvane {
namespace {

std::string_view tag_text(EngineTag tag) {
  switch (tag) {
    case EngineTag::kms:
      return "KMS";
    case EngineTag::kms_vaapi:
      return "KMSVAAPI";
    case EngineTag::kms_nvenc:
      return "KMSNVENC";
  }
  return "KMS";
}

}  // namespace

void engine_log(int level, std::string_view text) {
  if (level != engine_normal || !is_valid_utf8(text)) return;
  log_line(text);
}

void engine_log(int level, EngineTag tag, std::string_view message) {
  std::string line = "[";
  line += tag_text(tag);
  line += "] ";
  line += message;
  engine_log(level, line);
}

void log_ffmpeg_error(std::string_view what, int error_number) {
  char text[64] = {};
  av_strerror(error_number, text, sizeof text);
  std::string message(what);
  message += " failed: ";
  message += text;
  message += " (" + std::to_string(error_number) + ")";
  engine_log(engine_normal, EngineTag::kms, message);
}

}  // namespace corvane
