#ifndef CORVANE_ENGINE_H
#define CORVANE_ENGINE_H
/*
 * The capture engine's plain-C interface: the records shared with the
 * capture library libscanwell.so.0 (their offsets are part of that
 * library's ABI), the library's entry points as function types, and the
 * display-list entry that display discovery calls. Only integers,
 * NUL-terminated strings and opaque pointers cross it.
 */
#include <assert.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Zero-filled by the caller before use. */
typedef struct CaptureOpenConfig {
  const char* device; /* DRM device path; null lets the library choose */
  uint32_t crtc_id;   /* 0 lets the library choose */
  uint32_t padding;
  const char* helper_path; /* null: the library's built-in helper path */
  uint64_t reserved;
} CaptureOpenConfig;

/* One connector of a DRM device. */
typedef struct DisplayInfo {
  uint32_t crtc_id;
  uint32_t connector_id;
  char name[32]; /* NUL-terminated when well-formed */
  int32_t x;
  int32_t y;
  uint32_t width;
  uint32_t height;
  uint32_t reserved;
  uint32_t active; /* non-zero while the connector is lit */
} DisplayInfo;

/* One grabbed scan-out buffer; zero-filled by the caller before each grab. */
typedef struct FrameDesc {
  int32_t fd; /* DMA-BUF, owned by the library until the frame is released */
  uint32_t width;
  uint32_t height;
  uint32_t fourcc;
  uint64_t modifier; /* 0x00FFFFFFFFFFFFFF: none */
  uint32_t reserved0;
  uint32_t plane_count; /* 0 reads as 1, more than 4 as 4 */
  uint32_t offsets[4];
  uint32_t pitches[4];
  uint64_t reserved1;
  uint8_t release_handle[56]; /* opaque; handed back on release */
} FrameDesc;

/* The cursor plane's image; zero-filled by the caller before each query. */
typedef struct CursorInfo {
  int32_t x;
  int32_t y;
  uint64_t reserved0;
  uint32_t width;
  uint32_t height;
  const uint32_t* pixels; /* premultiplied ARGB8888, rows packed */
  uint32_t visible;
  uint32_t reserved1[3];
} CursorInfo;

static_assert(sizeof(CaptureOpenConfig) == 32, "CaptureOpenConfig layout");
static_assert(offsetof(CaptureOpenConfig, crtc_id) == 8, "CaptureOpenConfig layout");
static_assert(offsetof(CaptureOpenConfig, helper_path) == 16, "CaptureOpenConfig layout");

static_assert(sizeof(DisplayInfo) == 64, "DisplayInfo layout");
static_assert(offsetof(DisplayInfo, name) == 8, "DisplayInfo layout");
static_assert(offsetof(DisplayInfo, x) == 40, "DisplayInfo layout");
static_assert(offsetof(DisplayInfo, width) == 48, "DisplayInfo layout");
static_assert(offsetof(DisplayInfo, active) == 60, "DisplayInfo layout");

static_assert(sizeof(FrameDesc) == 128, "FrameDesc layout");
static_assert(offsetof(FrameDesc, modifier) == 16, "FrameDesc layout");
static_assert(offsetof(FrameDesc, plane_count) == 28, "FrameDesc layout");
static_assert(offsetof(FrameDesc, offsets) == 32, "FrameDesc layout");
static_assert(offsetof(FrameDesc, pitches) == 48, "FrameDesc layout");
static_assert(offsetof(FrameDesc, release_handle) == 72, "FrameDesc layout");

static_assert(sizeof(CursorInfo) == 48, "CursorInfo layout");
static_assert(offsetof(CursorInfo, width) == 16, "CursorInfo layout");
static_assert(offsetof(CursorInfo, pixels) == 24, "CursorInfo layout");
static_assert(offsetof(CursorInfo, visible) == 32, "CursorInfo layout");

/* The capture library's entry points. A context is the library's opaque
 * capture context. */
typedef int (*scanwell_version_fn)(void);
typedef void* (*scanwell_open_fn)(const CaptureOpenConfig* config);
typedef void (*scanwell_close_fn)(void* context);
typedef int (*scanwell_list_displays_fn)(void* context, DisplayInfo* entries, int capacity);
typedef int (*scanwell_displays_changed_fn)(void* context);
typedef int (*scanwell_grab_desc_fn)(void* context, FrameDesc* frame, void* release_handle);
typedef void (*scanwell_frame_release_fn)(void* context, void* release_handle);
typedef int (*scanwell_get_cursor_fn)(void* context, CursorInfo* cursor);
typedef void (*scanwell_cursor_release_fn)(void* context, CursorInfo* cursor);
typedef const char* (*scanwell_error_fn)(void* context);
typedef const char* (*scanwell_render_node_fn)(void* context);
typedef const char* (*scanwell_gpu_driver_fn)(void* context);

/* Lists the connectors of one DRM device into entries (at most capacity
 * are written) through a capture context of its own. Returns the library's
 * count, or -1 when the capture library is not available or cannot open
 * the device. */
int capture_list_displays(const char* device, DisplayInfo* entries, int capacity);

#ifdef __cplusplus
}
#endif

#endif
