#include "engine/capture_library.hpp"

#include <dlfcn.h>

#include <array>
#include <cstdlib>
#include <string>

#include "engine/engine_log.hpp"

namespace corvane {
namespace {

constexpr const char* library_name = "libscanwell.so.0";
// The only library series this binding was written against: 0.5.x.
constexpr int supported_version = 0x000500;

// In the order they are resolved (and reported when missing).
constexpr std::array<const char*, 12> symbol_names = {
    "scanwell_version",
    "scanwell_open",
    "scanwell_close",
    "scanwell_list_displays",
    "scanwell_displays_changed",
    "scanwell_grab_desc",
    "scanwell_frame_release",
    "scanwell_get_cursor",
    "scanwell_cursor_release",
    "scanwell_error",
    "scanwell_render_node",
    "scanwell_gpu_driver",
};

void log_kms(std::string_view message) { engine_log(engine_normal, EngineTag::kms, message); }

void* open_library() {
  const char* configured = std::getenv("CORVANE_SCANWELL_LIB");
  if (configured && *configured) {
    if (void* handle = ::dlopen(configured, RTLD_NOW)) return handle;
  }
  if (void* handle = ::dlopen(library_name, RTLD_NOW)) return handle;
  const char* reason = ::dlerror();
  log_kms(std::string(library_name) + " not loadable: " + (reason ? reason : ""));
  return nullptr;
}

// Every symbol is tried, so one start-up reports all that are missing.
bool resolve_all(void* handle, std::array<void*, 12>& symbols) {
  bool complete = true;
  for (size_t i = 0; i < symbol_names.size(); ++i) {
    symbols[i] = ::dlsym(handle, symbol_names[i]);
    if (symbols[i]) continue;
    log_kms(std::string(library_name) + " lacks " + symbol_names[i]);
    complete = false;
  }
  return complete;
}

// Any patch level of the supported series is accepted.
bool version_supported(int version) {
  auto bits = static_cast<unsigned>(version);
  if ((bits & ~0xFFu) == static_cast<unsigned>(supported_version)) return true;
  log_kms("libscanwell " + std::to_string((bits >> 16) & 0xFF) + "." +
          std::to_string((bits >> 8) & 0xFF) + " does not match the 0.5 this was built for");
  return false;
}

template <class Function>
Function as_function(void* symbol) {
  return reinterpret_cast<Function>(symbol);
}

const CaptureLibrary* load_capture_library() {
  void* handle = open_library();
  if (!handle) return nullptr;
  std::array<void*, 12> symbols{};
  if (!resolve_all(handle, symbols) ||
      !version_supported(as_function<scanwell_version_fn>(symbols[0])())) {
    ::dlclose(handle);
    return nullptr;
  }
  // Never freed: contexts and frames of the library may live until exit.
  static const CaptureLibrary library{
      .handle = handle,
      .scanwell_open = as_function<scanwell_open_fn>(symbols[1]),
      .scanwell_close = as_function<scanwell_close_fn>(symbols[2]),
      .scanwell_list_displays = as_function<scanwell_list_displays_fn>(symbols[3]),
      .scanwell_displays_changed = as_function<scanwell_displays_changed_fn>(symbols[4]),
      .scanwell_grab_desc = as_function<scanwell_grab_desc_fn>(symbols[5]),
      .scanwell_frame_release = as_function<scanwell_frame_release_fn>(symbols[6]),
      .scanwell_get_cursor = as_function<scanwell_get_cursor_fn>(symbols[7]),
      .scanwell_cursor_release = as_function<scanwell_cursor_release_fn>(symbols[8]),
      .scanwell_error = as_function<scanwell_error_fn>(symbols[9]),
      .scanwell_render_node = as_function<scanwell_render_node_fn>(symbols[10]),
      .scanwell_gpu_driver = as_function<scanwell_gpu_driver_fn>(symbols[11]),
  };
  return &library;
}

}  // namespace

const CaptureLibrary* capture_library() {
  // A function-local static gives the one-time, thread-safe load: callers
  // that arrive during loading wait for its answer.
  static const CaptureLibrary* const library = load_capture_library();
  return library;
}

void log_library_error(const CaptureLibrary& library, void* context, std::string_view what) {
  const char* reason = library.scanwell_error(context);
  log_kms(std::string(what) + ": " + (reason ? reason : "unknown"));
}

}  // namespace corvane
