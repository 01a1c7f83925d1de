#include "usb_descriptors.hpp"

#include <endian.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>

#include <cstring>

namespace corvane::lab {
namespace {

class Blob {
 public:
  void le16(uint16_t value) { raw(htole16(value)); }
  void le32(uint32_t value) { raw(htole32(value)); }
  void bytes(const void* data, size_t size) {
    auto first = static_cast<const uint8_t*>(data);
    bytes_.insert(bytes_.end(), first, first + size);
  }
  // FunctionFS wants the total length in the header, known only at the end.
  std::vector<uint8_t> finish_with_length_at_4() {
    uint32_t length = htole32(static_cast<uint32_t>(bytes_.size()));
    std::memcpy(bytes_.data() + 4, &length, sizeof length);
    return std::move(bytes_);
  }

 private:
  template <class T>
  void raw(T value) {
    bytes(&value, sizeof value);
  }
  std::vector<uint8_t> bytes_;
};

void interface_and_endpoints(Blob& blob, uint16_t max_packet_size) {
  usb_interface_descriptor interface {};
  interface.bLength = USB_DT_INTERFACE_SIZE;
  interface.bDescriptorType = USB_DT_INTERFACE;
  interface.bNumEndpoints = 2;
  interface.bInterfaceClass = kvm_interface_class;
  interface.bInterfaceSubClass = kvm_interface_subclass;
  interface.bInterfaceProtocol = kvm_interface_protocol;
  interface.iInterface = 1;
  blob.bytes(&interface, USB_DT_INTERFACE_SIZE);

  for (uint8_t address : {uint8_t{1 | USB_DIR_OUT}, uint8_t{2 | USB_DIR_IN}}) {
    usb_endpoint_descriptor endpoint{};
    endpoint.bLength = USB_DT_ENDPOINT_SIZE;
    endpoint.bDescriptorType = USB_DT_ENDPOINT;
    endpoint.bEndpointAddress = address;
    endpoint.bmAttributes = USB_ENDPOINT_XFER_BULK;
    endpoint.wMaxPacketSize = htole16(max_packet_size);
    blob.bytes(&endpoint, USB_DT_ENDPOINT_SIZE);
  }
}

}  // namespace

std::vector<uint8_t> kvm_function_descriptors() {
  constexpr uint32_t descriptors_per_speed = 3;
  Blob blob;
  blob.le32(FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
  blob.le32(0);
  blob.le32(FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
  blob.le32(descriptors_per_speed);
  blob.le32(descriptors_per_speed);
  interface_and_endpoints(blob, 64);
  interface_and_endpoints(blob, 512);
  return blob.finish_with_length_at_4();
}

std::vector<uint8_t> kvm_function_strings(std::string_view interface_name) {
  Blob blob;
  blob.le32(FUNCTIONFS_STRINGS_MAGIC);
  blob.le32(0);
  blob.le32(1);  // strings per language
  blob.le32(1);  // languages
  blob.le16(0x0409);
  blob.bytes(interface_name.data(), interface_name.size());
  blob.bytes("", 1);
  return blob.finish_with_length_at_4();
}

}  // namespace corvane::lab
