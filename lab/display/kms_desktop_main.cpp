// kms-desktop: a desktop stand-in for the lab's guest. As DRM master it lights
// the named outputs with the test pattern in XRGB8888 dumb buffers, puts the
// test cursor on the first one, and holds them until SIGTERM or SIGINT.
//   kms-desktop [--card PATH] [--cursor X,Y] [--ready FILE] [CONNECTOR[:WxH]...]
// CONNECTOR is a connector name such as Virtual-1 (the default); each must be
// connected. It gets the mode WxH when given, else its preferred mode, else
// its first. --ready FILE is created once all are lit.
#include <drm_fourcc.h>
#include <fcntl.h>
#include <sys/signalfd.h>
#include <unistd.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "drm_objects.hpp"
#include "log.hpp"
#include "system/unique_fd.hpp"
#include "termination_signal.hpp"
#include "test_pattern.hpp"

namespace corvane::lab {
namespace {

struct OutputRequest {
  std::string connector;
  uint32_t width = 0;  // 0: the connector's own choice
  uint32_t height = 0;
};

struct Options {
  std::string card = "/dev/dri/card0";
  uint32_t cursor_x = 100;
  uint32_t cursor_y = 100;
  std::string ready_file;
  std::vector<OutputRequest> outputs;
};

Result<OutputRequest> parse_output(const std::string& arg) {
  auto colon = arg.find(':');
  OutputRequest request{arg.substr(0, colon)};
  if (colon == std::string::npos) return request;
  if (std::sscanf(arg.c_str() + colon + 1, "%ux%u", &request.width, &request.height) != 2) {
    return fail("a mode is WIDTHxHEIGHT, not " + arg.substr(colon + 1));
  }
  return request;
}

Result<Options> parse_options(const std::vector<std::string>& args) {
  Options options;
  for (size_t i = 0; i < args.size(); ++i) {
    const auto& arg = args[i];
    if (!arg.starts_with("--")) {
      auto output = parse_output(arg);
      if (!output) return std::unexpected(output.error());
      options.outputs.push_back(*output);
      continue;
    }
    if (i + 1 == args.size()) return fail(arg + " needs a value");
    const auto& value = args[++i];
    if (arg == "--card") {
      options.card = value;
    } else if (arg == "--ready") {
      options.ready_file = value;
    } else if (arg == "--cursor") {
      if (std::sscanf(value.c_str(), "%u,%u", &options.cursor_x, &options.cursor_y) != 2) {
        return fail("--cursor takes X,Y");
      }
    } else {
      return fail("unknown argument " + arg);
    }
  }
  if (options.outputs.empty()) options.outputs.push_back({"Virtual-1"});
  return options;
}

std::string connector_name(const drmModeConnector& connector) {
  const char* type = drmModeGetConnectorTypeName(connector.connector_type);
  return std::string(type != nullptr ? type : "Unknown") + "-" +
         std::to_string(connector.connector_type_id);
}

Result<Connector> find_connector(int card, const drmModeRes& resources, const std::string& name) {
  for (int i = 0; i < resources.count_connectors; ++i) {
    Connector connector(drmModeGetConnector(card, resources.connectors[i]));
    if (!connector || connector_name(*connector) != name) continue;
    if (connector->connection != DRM_MODE_CONNECTED || connector->count_modes == 0) {
      return fail(name + " is not connected");
    }
    return connector;
  }
  return fail("no connector " + name);
}

Result<drmModeModeInfo> choose_mode(const drmModeConnector& connector,
                                    const OutputRequest& request) {
  std::span modes(connector.modes, static_cast<size_t>(connector.count_modes));
  if (request.width != 0) {
    auto found = std::ranges::find_if(modes, [&](const drmModeModeInfo& mode) {
      return mode.hdisplay == request.width && mode.vdisplay == request.height;
    });
    if (found == modes.end()) {
      return fail(request.connector + " has no mode " + std::to_string(request.width) + "x" +
                  std::to_string(request.height));
    }
    return *found;
  }
  auto preferred = std::ranges::find_if(modes, [](const drmModeModeInfo& mode) {
    return (mode.type & DRM_MODE_TYPE_PREFERRED) != 0;
  });
  return preferred != modes.end() ? *preferred : modes.front();
}

// A CRTC that one of the connector's encoders can drive and no other lit
// output uses.
Result<uint32_t> free_crtc(int card, const drmModeRes& resources, const drmModeConnector& connector,
                           const std::vector<uint32_t>& taken) {
  for (int e = 0; e < connector.count_encoders; ++e) {
    Encoder encoder(drmModeGetEncoder(card, connector.encoders[e]));
    if (!encoder) continue;
    for (int c = 0; c < resources.count_crtcs; ++c) {
      uint32_t crtc = resources.crtcs[c];
      if ((encoder->possible_crtcs & (1u << c)) && std::ranges::find(taken, crtc) == taken.end()) {
        return crtc;
      }
    }
  }
  return fail("no free CRTC for " + connector_name(connector));
}

struct LitOutput {
  uint32_t crtc;
  DumbBuffer buffer;
  Framebuffer framebuffer;
};

Result<LitOutput> light(int card, const drmModeRes& resources, const OutputRequest& request,
                        uint32_t index, const std::vector<uint32_t>& taken) {
  const auto& name = request.connector;
  auto connector = find_connector(card, resources, name);
  if (!connector) return std::unexpected(connector.error());
  auto crtc = free_crtc(card, resources, **connector, taken);
  if (!crtc) return std::unexpected(crtc.error());
  auto chosen = choose_mode(**connector, request);
  if (!chosen) return std::unexpected(chosen.error());
  drmModeModeInfo mode = *chosen;
  auto buffer = DumbBuffer::create(card, mode.hdisplay, mode.vdisplay);
  if (!buffer) return std::unexpected(buffer.error());
  for (uint32_t y = 0; y < buffer->height(); ++y) {
    auto row = buffer->row(y);
    for (uint32_t x = 0; x < row.size(); ++x) row[x] = desktop_pixel(x, y, index);
  }
  auto framebuffer = Framebuffer::add(card, *buffer, DRM_FORMAT_XRGB8888);
  if (!framebuffer) return std::unexpected(framebuffer.error());
  uint32_t connector_id = (*connector)->connector_id;
  if (drmModeSetCrtc(card, *crtc, framebuffer->id(), 0, 0, &connector_id, 1, &mode) != 0) {
    return fail("set CRTC for " + name + ": " + os_error_text(errno));
  }
  log_line("kms-desktop: lit " + name + " at " + std::to_string(mode.hdisplay) + "x" +
           std::to_string(mode.vdisplay) + " on CRTC " + std::to_string(*crtc));
  return LitOutput{*crtc, std::move(*buffer), std::move(*framebuffer)};
}

Result<DumbBuffer> show_cursor(int card, uint32_t crtc, uint32_t x, uint32_t y) {
  auto cursor = DumbBuffer::create(card, cursor_size, cursor_size);
  if (!cursor) return std::unexpected(cursor.error());
  for (uint32_t row_y = 0; row_y < cursor_size; ++row_y) {
    auto row = cursor->row(row_y);
    for (uint32_t row_x = 0; row_x < cursor_size; ++row_x) row[row_x] = cursor_pixel(row_x, row_y);
  }
  if (drmModeSetCursor(card, crtc, cursor->handle(), cursor_size, cursor_size) != 0) {
    return fail("set cursor: " + os_error_text(errno));
  }
  if (drmModeMoveCursor(card, crtc, static_cast<int>(x), static_cast<int>(y)) != 0) {
    return fail("move cursor: " + os_error_text(errno));
  }
  return cursor;
}

Result<> run(const Options& options) {
  auto signals = termination_signal_fd();
  if (!signals) return std::unexpected(signals.error());
  UniqueFd card(::open(options.card.c_str(), O_RDWR | O_CLOEXEC));
  if (!card) return fail("open " + options.card + ": " + os_error_text(errno));
  Resources resources(drmModeGetResources(card.get()));
  if (!resources) return fail("get DRM resources: " + os_error_text(errno));

  std::vector<LitOutput> outputs;
  std::vector<uint32_t> taken;
  for (const auto& request : options.outputs) {
    auto output =
        light(card.get(), *resources, request, static_cast<uint32_t>(outputs.size()), taken);
    if (!output) return std::unexpected(output.error());
    taken.push_back(output->crtc);
    outputs.push_back(std::move(*output));
  }
  auto cursor = show_cursor(card.get(), outputs.front().crtc, options.cursor_x, options.cursor_y);
  if (!cursor) return std::unexpected(cursor.error());

  if (!options.ready_file.empty()) {
    UniqueFd ready(
        ::open(options.ready_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!ready) return fail("create " + options.ready_file + ": " + os_error_text(errno));
  }
  signalfd_siginfo signal_info;
  while (::read(signals->get(), &signal_info, sizeof signal_info) < 0 && errno == EINTR) {
  }
  return {};
}

}  // namespace
}  // namespace corvane::lab

int main(int argc, char** argv) {
  using namespace corvane;
  auto options = lab::parse_options(std::vector<std::string>(argv + 1, argv + argc));
  auto done = options ? lab::run(*options) : Result<>(std::unexpected(options.error()));
  if (!done) {
    log_line("kms-desktop: " + done.error().message);
    return 1;
  }
  return 0;
}
