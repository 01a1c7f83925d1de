// The library's C entry points: each checks its arguments, calls into the
// context and turns failures into a negative errno and the error text.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "context.hpp"
#include "display_list.hpp"
#include "frame_handle.hpp"
#include "scanwell.h"

namespace {

using scanwell::Failure;

// Why the last scanwell_open on this thread failed.
thread_local std::string last_open_error;

int report(ScanwellContext* context, const Failure& failure) {
  context->error = failure.message;
  return failure.code;
}

void fill_frame(const scanwell::ReceivedFrame& frame, FrameDesc* desc) {
  const scanwell::FrameReply& reply = frame.reply;
  desc->fd = frame.descriptor.get();
  desc->width = reply.width;
  desc->height = reply.height;
  desc->fourcc = reply.fourcc;
  desc->modifier = reply.modifier;
  desc->sequence = reply.sequence;
  desc->plane_count = 1;
  desc->offsets[0] = 0;
  desc->pitches[0] = reply.pitch;
  desc->timestamp_ms = reply.timestamp;
}

void fill_cursor(scanwell::ReceivedCursor& received, CursorInfo* cursor) {
  const scanwell::CursorReply& reply = received.reply;
  cursor->x = reply.x;
  cursor->y = reply.y;
  cursor->hot_x = reply.hot_x;
  cursor->hot_y = reply.hot_y;
  cursor->width = reply.width;
  cursor->height = reply.height;
  cursor->pixels = received.pixels.release();
  cursor->visible = reply.valid != 0 && cursor->pixels != nullptr ? 1 : 0;
}

}  // namespace

extern "C" {

int scanwell_version(void) {
  return (SCANWELL_VERSION_MAJOR << 16) | (SCANWELL_VERSION_MINOR << 8) | SCANWELL_VERSION_PATCH;
}

ScanwellContext* scanwell_open(const CaptureOpenConfig* config) {
  if (config == nullptr) {
    last_open_error = "no configuration given";
    return nullptr;
  }
  auto context = scanwell::open_context(*config);
  if (!context) {
    last_open_error = context.error().message;
    return nullptr;
  }
  return context->release();
}

void scanwell_close(ScanwellContext* context) { delete context; }

int scanwell_list_displays(ScanwellContext* context, DisplayInfo* entries, int capacity) {
  if (context == nullptr || (entries == nullptr && capacity > 0)) return -EINVAL;
  auto displays = scanwell::list_connectors(context->device.get());
  if (!displays) return report(context, {-ENODEV, context->device_path + " has no display controllers"});
  std::size_t count = std::min(displays->size(), static_cast<std::size_t>(std::max(capacity, 0)));
  std::memcpy(entries, displays->data(), count * sizeof(DisplayInfo));
  return static_cast<int>(count);
}

int scanwell_displays_changed(ScanwellContext* context) {
  if (context == nullptr) return 0;
  return context->watch->changed() ? 1 : 0;
}

int scanwell_grab_desc(ScanwellContext* context, FrameDesc* frame, void* release_handle) {
  if (context == nullptr || frame == nullptr) return -EINVAL;
  if (release_handle == nullptr) release_handle = frame->release_handle;
  auto received = context->helper->request_frame(context->crtc_id);
  if (!received) return report(context, received.error());
  fill_frame(*received, frame);
  scanwell::FrameHandle::store(release_handle, std::move(received->descriptor));
  return 0;
}

void scanwell_frame_release(ScanwellContext*, void* release_handle) {
  if (release_handle != nullptr) scanwell::FrameHandle::take(release_handle);
}

int scanwell_get_cursor(ScanwellContext* context, CursorInfo* cursor) {
  if (context == nullptr || cursor == nullptr) return -EINVAL;
  auto received = context->helper->request_cursor(context->crtc_id);
  if (!received) return report(context, received.error());
  fill_cursor(*received, cursor);
  return 0;
}

void scanwell_cursor_release(ScanwellContext*, CursorInfo* cursor) {
  if (cursor == nullptr) return;
  delete[] cursor->pixels;
  cursor->pixels = nullptr;
  cursor->visible = 0;
}

const char* scanwell_error(ScanwellContext* context) {
  const std::string& error = context != nullptr ? context->error : last_open_error;
  return error.empty() ? nullptr : error.c_str();
}

const char* scanwell_render_node(ScanwellContext* context) {
  return context != nullptr && context->render_node ? context->render_node->c_str() : nullptr;
}

const char* scanwell_gpu_driver(ScanwellContext* context) {
  return context != nullptr && context->gpu_driver ? context->gpu_driver->c_str() : nullptr;
}

}  // extern "C"
