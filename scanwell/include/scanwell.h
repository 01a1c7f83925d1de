#ifndef SCANWELL_H
#define SCANWELL_H
/*
 * libscanwell: capture of the framebuffers that the display controllers of
 * a DRM device scan out, as DMA-BUF descriptors, with the cursor plane's
 * image. Reading framebuffers needs CAP_SYS_ADMIN, which the library never
 * holds: it starts the privileged scanwell-helper at the first grab and
 * talks to it over a socket. Listing displays needs no privilege.
 *
 * A context is used by one thread at a time. Records are shared in the
 * platform's standard layout; their offsets are part of the ABI.
 */
#include <assert.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SCANWELL_EXPORT __attribute__((visibility("default")))

/* (major << 16) | (minor << 8) | patch */
#define SCANWELL_VERSION_MAJOR 0
#define SCANWELL_VERSION_MINOR 5
#define SCANWELL_VERSION_PATCH 0

/* The helper used when the configuration names none. */
#define SCANWELL_DEFAULT_HELPER "/usr/local/libexec/scanwell-helper"

typedef struct ScanwellContext ScanwellContext;

/* Zero-filled by the caller before use. */
typedef struct CaptureOpenConfig {
  const char* device;      /* DRM device path; null: the first card with display controllers */
  uint32_t crtc_id;        /* CRTC to capture; 0: the first lit display's */
  uint32_t padding;
  const char* helper_path; /* null: SCANWELL_DEFAULT_HELPER */
  uint64_t reserved;
} CaptureOpenConfig;

/* One connector of the device. */
typedef struct DisplayInfo {
  uint32_t crtc_id;      /* 0 when the connector drives no CRTC */
  uint32_t connector_id;
  char name[32];         /* as the kernel names it in /sys/class/drm, e.g. HDMI-A-1 */
  int32_t x;             /* where the CRTC starts scanning its framebuffer: the */
  int32_t y;             /* display's place in the desktop when displays share one */
  uint32_t width;        /* current mode, 0 when none */
  uint32_t height;
  uint32_t refresh;      /* current mode's vertical refresh in Hz, 0 when none */
  uint32_t active;       /* non-zero while the connector is lit */
} DisplayInfo;

/* One grabbed frame; zero-filled by the caller before each grab. */
typedef struct FrameDesc {
  int32_t fd;          /* DMA-BUF; valid until scanwell_frame_release */
  uint32_t width;
  uint32_t height;
  uint32_t fourcc;     /* DRM pixel format */
  uint64_t modifier;   /* DRM format modifier; 0x00FFFFFFFFFFFFFF: none */
  uint32_t sequence;   /* the helper's frame count */
  uint32_t plane_count;
  uint32_t offsets[4];
  uint32_t pitches[4];
  uint64_t timestamp_ms; /* wall-clock time of the capture, ms since the epoch */
  uint8_t release_handle[56]; /* opaque; handed back to scanwell_frame_release */
} FrameDesc;

/* The cursor on the captured CRTC; zero-filled by the caller before each query. */
typedef struct CursorInfo {
  int32_t x;           /* left edge of the image on the CRTC */
  int32_t y;           /* top edge */
  int32_t hot_x;       /* hotspot within the image, 0 when the driver reports none */
  int32_t hot_y;
  uint32_t width;
  uint32_t height;
  const uint32_t* pixels; /* width x height ARGB8888 pixels, rows packed; valid until scanwell_cursor_release */
  uint32_t visible;
  uint32_t reserved[3];
} CursorInfo;

static_assert(sizeof(CaptureOpenConfig) == 32, "CaptureOpenConfig layout");
static_assert(offsetof(CaptureOpenConfig, helper_path) == 16, "CaptureOpenConfig layout");
static_assert(sizeof(DisplayInfo) == 64, "DisplayInfo layout");
static_assert(offsetof(DisplayInfo, x) == 40, "DisplayInfo layout");
static_assert(offsetof(DisplayInfo, active) == 60, "DisplayInfo layout");
static_assert(sizeof(FrameDesc) == 128, "FrameDesc layout");
static_assert(offsetof(FrameDesc, modifier) == 16, "FrameDesc layout");
static_assert(offsetof(FrameDesc, plane_count) == 28, "FrameDesc layout");
static_assert(offsetof(FrameDesc, pitches) == 48, "FrameDesc layout");
static_assert(offsetof(FrameDesc, release_handle) == 72, "FrameDesc layout");
static_assert(sizeof(CursorInfo) == 48, "CursorInfo layout");
static_assert(offsetof(CursorInfo, width) == 16, "CursorInfo layout");
static_assert(offsetof(CursorInfo, pixels) == 24, "CursorInfo layout");
static_assert(offsetof(CursorInfo, visible) == 32, "CursorInfo layout");

SCANWELL_EXPORT int scanwell_version(void);

/* Opens a context on a DRM device; null on failure (scanwell_error(NULL)
 * then says why). Starts nothing: the helper comes with the first grab. */
SCANWELL_EXPORT ScanwellContext* scanwell_open(const CaptureOpenConfig* config);
/* Ends the helper, if one was started, and frees the context. */
SCANWELL_EXPORT void scanwell_close(ScanwellContext* context);

/* Writes at most capacity connectors; returns how many, negative when the
 * device has no display controllers. */
SCANWELL_EXPORT int scanwell_list_displays(ScanwellContext* context, DisplayInfo* entries, int capacity);
/* Non-zero when the set or geometry of displays changed since the previous
 * call (the first call compares with the open). Cheap enough for every frame:
 * one non-blocking read of the kernel's hotplug events and one CRTC query. */
SCANWELL_EXPORT int scanwell_displays_changed(ScanwellContext* context);

/* 0 with a frame held, or a negative errno: -EACCES when the helper cannot
 * be started or refused to run, -ENODEV when nothing is scanned out. */
SCANWELL_EXPORT int scanwell_grab_desc(ScanwellContext* context, FrameDesc* frame, void* release_handle);
SCANWELL_EXPORT void scanwell_frame_release(ScanwellContext* context, void* release_handle);

/* 0 (visible or not), or a negative errno as for grabs. Release after every
 * call, also after a failed one. */
SCANWELL_EXPORT int scanwell_get_cursor(ScanwellContext* context, CursorInfo* cursor);
SCANWELL_EXPORT void scanwell_cursor_release(ScanwellContext* context, CursorInfo* cursor);

/* Text of the context's last error, or of the last failed open on this
 * thread for a null context; null when there is none. */
SCANWELL_EXPORT const char* scanwell_error(ScanwellContext* context);
/* Render node of the device's GPU (a path under /dev/dri/), or null. */
SCANWELL_EXPORT const char* scanwell_render_node(ScanwellContext* context);
/* Kernel driver name of the device, or null. */
SCANWELL_EXPORT const char* scanwell_gpu_driver(ScanwellContext* context);

#ifdef __cplusplus
}
#endif

#endif
