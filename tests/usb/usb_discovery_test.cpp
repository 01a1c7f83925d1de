// Finding the KVM's interface in the sysfs device listing, and ordering the
// candidates.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "session/usb_candidate.hpp"
#include "session/usb_discovery.hpp"
#include "support/temp_dir.hpp"

namespace corvane {
namespace {

using test::TempDir;
using test::write_file;

// A sysfs tree in the kernel's shape: device folders and, beside them,
// "<device>:<config>.<interface>" folders.
class SysfsTree {
 public:
  std::filesystem::path root() const { return dir_.path(); }
  std::filesystem::path devices() const { return dir_ / "sys/bus/usb/devices"; }

  void device(const std::string& name, int bus, int address, const std::string& vendor,
              const std::string& product_id, const char* product) {
    auto folder = devices() / name;
    write_file(folder / "busnum", std::to_string(bus) + "\n");
    write_file(folder / "devnum", std::to_string(address) + "\n");
    write_file(folder / "idVendor", vendor + "\n");
    write_file(folder / "idProduct", product_id + "\n");
    if (product) write_file(folder / "product", std::string(product) + "\n");
  }

  void interface(const std::string& name, const std::string& number, const std::string& klass,
                 const std::string& subclass, const std::string& protocol) {
    auto folder = devices() / name;
    write_file(folder / "bInterfaceNumber", number + "\n");
    write_file(folder / "bInterfaceClass", klass + "\n");
    write_file(folder / "bInterfaceSubClass", subclass + "\n");
    write_file(folder / "bInterfaceProtocol", protocol + "\n");
  }

 private:
  TempDir dir_;
};

TEST(UsbDiscovery, ReadsEveryDeviceAndItsInterfacesInBusAndAddressOrder) {
  SysfsTree sysfs;
  sysfs.device("usb1", 1, 1, "1d6b", "0002", "xHCI Host Controller");
  sysfs.interface("1-0:1.0", "00", "09", "00", "00");
  sysfs.device("2-1", 2, 3, "abcd", "00ef", nullptr);
  sysfs.interface("2-1:1.1", "01", "ff", "4a", "01");
  sysfs.interface("2-1:1.0", "00", "03", "01", "02");
  sysfs.device("1-1", 1, 12, "1d6b", "0104", "Tarvek USB Emulation Device");
  sysfs.interface("1-1:1.0", "00", "ff", "4a", "01");

  auto devices = list_usb_devices(sysfs.root());
  ASSERT_TRUE(devices) << devices.error().message;
  ASSERT_EQ(devices->size(), 3u);
  const auto& hub = (*devices)[0];
  EXPECT_EQ(hub.bus_number, 1);
  EXPECT_EQ(hub.address, 1);
  const auto& kvm = (*devices)[1];
  EXPECT_EQ(kvm.bus_number, 1);
  EXPECT_EQ(kvm.address, 12);
  EXPECT_EQ(kvm.vendor_id, 0x1d6b);
  EXPECT_EQ(kvm.product_id, 0x0104);
  EXPECT_EQ(kvm.product, "Tarvek USB Emulation Device");
  ASSERT_EQ(kvm.interfaces.size(), 1u);
  EXPECT_EQ(kvm.interfaces[0].class_code, 0xff);
  EXPECT_EQ(kvm.interfaces[0].subclass, 0x4a);
  EXPECT_EQ(kvm.interfaces[0].protocol, 0x01);
  const auto& other = (*devices)[2];
  EXPECT_EQ(other.vendor_id, 0xabcd);
  EXPECT_EQ(other.product_id, 0x00ef);
  EXPECT_EQ(other.product, std::nullopt);
  ASSERT_EQ(other.interfaces.size(), 2u);
  EXPECT_EQ(other.interfaces[0].number, 0);
  EXPECT_EQ(other.interfaces[0].class_code, 0x03);
  EXPECT_EQ(other.interfaces[1].number, 1);
}

TEST(UsbDiscovery, LeavesOutADeviceWhoseFilesVanishDuringTheScan) {
  SysfsTree sysfs;
  sysfs.device("1-1", 1, 2, "1d6b", "0104", "Tarvek USB Emulation Device");
  sysfs.interface("1-1:1.0", "00", "ff", "4a", "01");
  // Unplugged while listed: the folder is still there, its attributes are not.
  std::filesystem::create_directories(sysfs.devices() / "1-2");
  sysfs.interface("1-2:1.0", "00", "ff", "4a", "01");
  sysfs.device("1-3", 1, 4, "1d6b", "0104", "Tarvek USB Emulation Device");
  std::filesystem::remove(sysfs.devices() / "1-3" / "idProduct");

  auto devices = list_usb_devices(sysfs.root());
  ASSERT_TRUE(devices) << devices.error().message;
  ASSERT_EQ(devices->size(), 1u);
  EXPECT_EQ((*devices)[0].address, 2);
}

TEST(UsbDiscovery, FailsOnlyWhenTheListingItselfCannotBeRead) {
  TempDir missing;
  auto absent = list_usb_devices(missing.path());
  ASSERT_FALSE(absent);
  EXPECT_EQ(absent.error().message, "/sys/bus/usb/devices/ not found");

  TempDir not_a_folder;
  write_file(not_a_folder / "sys/bus/usb/devices", "");
  auto unreadable = list_usb_devices(not_a_folder.path());
  ASSERT_FALSE(unreadable);
  EXPECT_EQ(unreadable.error().message, "failed to open /sys/bus/usb/devices/: Not a directory");
}

UsbDeviceInfo device(uint8_t address, std::optional<std::string> product,
                     std::vector<UsbInterfaceInfo> interfaces, uint16_t vendor = 0x1d6b,
                     uint16_t product_id = 0x0104) {
  return {1, address, vendor, product_id, std::move(product), std::move(interfaces)};
}

const UsbInterfaceInfo kvm_interface_0{0, 0xff, 0x4a, 0x01};
const UsbInterfaceInfo kvm_interface_2{2, 0xff, 0x4a, 0x01};

TEST(UsbCandidates, KeepOnlyDevicesWithTheKvmInterfaceAndUseTheFirstOne) {
  const UsbDeviceInfo devices[] = {
      device(1, "Keyboard", {{0, 0x03, 0x01, 0x01}}),
      device(2, "Near miss", {{0, 0xff, 0x4a, 0x02}, {1, 0xff, 0x4b, 0x01}, {2, 0xfe, 0x4a, 0x01}}),
      device(3, "Two of them", {{0, 0x03, 0x00, 0x00}, kvm_interface_2, {3, 0xff, 0x4a, 0x01}}),
  };
  auto candidates = find_candidates(devices);
  ASSERT_EQ(candidates.size(), 1u);
  EXPECT_EQ(candidates[0].address, 3);
  EXPECT_EQ(candidates[0].interface_number, 2);
}

TEST(UsbCandidates, PutTheEmulationDeviceFirstAndKeepTheListingOrderOtherwise) {
  const UsbDeviceInfo devices[] = {
      device(1, std::nullopt, {kvm_interface_0}, 0xabcd, 0x00ef),
      device(2, "Tarvek USB Emulation Device ", {kvm_interface_0}),
      device(3, "Other KVM", {kvm_interface_0}),
      device(4, "Tarvek USB Emulation Device", {kvm_interface_0}),
      device(5, "Tarvek USB Emulation Device", {kvm_interface_0}, 0x1d6b, 0x0105),
  };
  auto candidates = find_candidates(devices);
  std::vector<std::string> labels;
  for (const auto& candidate : candidates) labels.push_back(candidate.label);
  EXPECT_EQ(labels, (std::vector<std::string>{
                        "Tarvek USB Emulation Device (1d6b:0104)",
                        "Tarvek USB Emulation Device (1d6b:0105)",
                        "unknown KVM (abcd:00ef)",
                        "Tarvek USB Emulation Device  (1d6b:0104)",
                        "Other KVM (1d6b:0104)",
                    }));
  EXPECT_EQ(candidates[0].address, 4);
  EXPECT_EQ(candidates[1].address, 5);
}

}  // namespace
}  // namespace corvane
