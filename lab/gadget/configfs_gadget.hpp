#pragma once
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "error.hpp"

namespace corvane::lab {

struct GadgetIdentity {
  std::string name;     // the gadget's configfs folder and its FunctionFS instance
  std::string product;  // the device's product string
};

// The gadget's tree under /sys/kernel/config/usb_gadget: device descriptor
// values, strings, one configuration and one FunctionFS function linked into
// it. Dropping it removes what it created, deepest first.
class ConfigfsGadget {
 public:
  static Result<ConfigfsGadget> create(const GadgetIdentity& identity);

  ConfigfsGadget(ConfigfsGadget&& other) noexcept;
  ConfigfsGadget& operator=(ConfigfsGadget&&) = delete;
  ConfigfsGadget(const ConfigfsGadget&) = delete;
  ConfigfsGadget& operator=(const ConfigfsGadget&) = delete;
  ~ConfigfsGadget();

  const std::filesystem::path& root() const { return root_; }
  // The FunctionFS instance; a functionfs mount must carry it as its device name.
  const std::string& function_instance() const { return instance_; }

 private:
  ConfigfsGadget(std::filesystem::path root, std::string instance)
      : root_(std::move(root)), instance_(std::move(instance)) {}
  Result<> make_directory(const std::filesystem::path& path);
  Result<> make_link(const std::filesystem::path& target, const std::filesystem::path& link);

  std::filesystem::path root_;
  std::string instance_;
  std::vector<std::filesystem::path> created_;
};

// The gadget bound to a USB device controller: the host sees the device
// until the binding is dropped. Binding works only after the FunctionFS
// descriptors have been written.
class UdcBinding {
 public:
  static Result<UdcBinding> bind(const ConfigfsGadget& gadget, const std::string& udc);

  UdcBinding(UdcBinding&& other) noexcept : attribute_(std::exchange(other.attribute_, {})) {}
  UdcBinding& operator=(UdcBinding&&) = delete;
  UdcBinding(const UdcBinding&) = delete;
  UdcBinding& operator=(const UdcBinding&) = delete;
  ~UdcBinding();

  // Unbinds now, as pulling the cable would; the binding is then spent.
  void unplug();

 private:
  explicit UdcBinding(std::filesystem::path attribute) : attribute_(std::move(attribute)) {}
  std::filesystem::path attribute_;
};

// The first USB device controller the kernel offers (dummy_udc.0 in the lab).
Result<std::string> first_udc();

}  // namespace corvane::lab
