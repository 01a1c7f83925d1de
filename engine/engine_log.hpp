#pragma once
// The log sink every part of the capture engine writes through. Engine
// lines carry a tag naming the side that wrote them, and the service keeps
// only the normal level: detail is accepted and dropped.
#include <string_view>

namespace corvane {

inline constexpr int engine_normal = 0;
inline constexpr int engine_detail = 2;

enum class EngineTag { kms, kms_vaapi, kms_nvenc };

// Writes text and a newline to standard error at the normal level; other
// levels, and text that is not valid UTF-8, are dropped.
void engine_log(int level, std::string_view text);

// The line "[TAG] message".
void engine_log(int level, EngineTag tag, std::string_view message);

// Under KMS: what + " failed: " + FFmpeg's text for the error + " (" + the
// number + ")".
void log_ffmpeg_error(std::string_view what, int error_number);

}  // namespace corvane
