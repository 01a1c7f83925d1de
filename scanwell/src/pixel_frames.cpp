#include "pixel_frames.hpp"

#include <fcntl.h>
#include <linux/udmabuf.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace scanwell {

namespace {

std::size_t page_rounded(std::size_t size) {
  auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return (size + page - 1) / page * page;
}

}  // namespace

PixelBuffer::PixelBuffer(ScopedFd memfd, void* address, std::size_t size)
    : memfd_(std::move(memfd)), address_(address), size_(size) {}

PixelBuffer::PixelBuffer(PixelBuffer&& other) noexcept
    : memfd_(std::move(other.memfd_)),
      address_(std::exchange(other.address_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

PixelBuffer::~PixelBuffer() { unmap(); }

void PixelBuffer::unmap() {
  if (address_ != nullptr) ::munmap(address_, size_);
  address_ = nullptr;
}

ScopedFd PixelBuffer::take_memfd() { return std::move(memfd_); }

Outcome<PixelBuffer> PixelFrames::create(std::size_t size) {
  std::size_t rounded = page_rounded(size);
  ScopedFd memfd(::memfd_create("scanwell-frame", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!memfd) return fail_errno("cannot create frame memory");
  if (::ftruncate(memfd.get(), static_cast<off_t>(rounded)) != 0) {
    return fail_errno("cannot size frame memory");
  }
  void* address = ::mmap(nullptr, rounded, PROT_READ | PROT_WRITE, MAP_SHARED, memfd.get(), 0);
  if (address == MAP_FAILED) return fail_errno("cannot map frame memory");
  return PixelBuffer(std::move(memfd), address, rounded);
}

int PixelFrames::udmabuf_device() {
  if (!udmabuf_device_) udmabuf_device_.emplace(::open("/dev/udmabuf", O_RDWR | O_CLOEXEC));
  return udmabuf_device_->get();
}

ScopedFd PixelFrames::publish(PixelBuffer buffer) {
  std::size_t size = buffer.size();
  buffer.unmap();
  ScopedFd memfd = buffer.take_memfd();
  // A udmabuf needs memory that can no longer shrink under it.
  ::fcntl(memfd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL);
  int device = udmabuf_device();
  if (device < 0) return memfd;
  udmabuf_create request{};
  request.memfd = static_cast<std::uint32_t>(memfd.get());
  request.flags = UDMABUF_FLAGS_CLOEXEC;
  request.offset = 0;
  request.size = size;
  int dmabuf = ::ioctl(device, UDMABUF_CREATE, &request);
  // Beyond the kernel's udmabuf size limit the frame still travels as a memfd.
  if (dmabuf < 0) return memfd;
  return ScopedFd(dmabuf);
}

}  // namespace scanwell
