#include "descriptors.h"

#include <stdexcept>

namespace torvex::sim {
namespace {

constexpr std::uint8_t kVendorClass = 0xFF;

void PutWord(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void PutInterface(std::vector<std::uint8_t>& out, std::uint8_t number, std::uint8_t alternate) {
  out.insert(out.end(), {9, 4, number, alternate, 1, kVendorClass, kVendorClass, kVendorClass, 0});
}

void PutEndpoint(std::vector<std::uint8_t>& out, std::uint8_t address, std::uint8_t attributes,
                 std::uint16_t maxPacketSize, std::uint8_t interval) {
  out.insert(out.end(), {7, 5, address, attributes});
  PutWord(out, maxPacketSize);
  out.push_back(interval);
}

}  // namespace

void ValidateDescriptorConfig(const DescriptorConfig& config) {
  if (config.packetSizes.empty()) throw std::invalid_argument("camera needs an alternate setting");
  if (config.packetSizes.front() != 0)
    throw std::invalid_argument("alternate setting 0 must not reserve bandwidth");
  if (config.packetSizes.size() > 255) throw std::invalid_argument("too many alternate settings");
  for (std::uint16_t size : config.packetSizes)
    if (size > kMaxIsochronousPacket)
      throw std::invalid_argument("isochronous packet size above 1023 bytes");
}

std::vector<std::uint8_t> BuildDeviceDescriptor(const DescriptorConfig& config) {
  ValidateDescriptorConfig(config);
  std::vector<std::uint8_t> out{18, 1};
  PutWord(out, 0x0110);  // USB 1.1
  out.insert(out.end(), {kVendorClass, kVendorClass, kVendorClass, 8});
  PutWord(out, config.vendorId);
  PutWord(out, config.productId);
  PutWord(out, 0x0100);  // device release
  out.insert(out.end(), {0, 0, 0, 1});  // no strings, one configuration
  return out;
}

std::vector<std::uint8_t> BuildConfigurationDescriptor(const DescriptorConfig& config) {
  ValidateDescriptorConfig(config);
  const std::uint8_t interfaces = config.statusInterface ? 2 : 1;
  const std::size_t total = 9 + 16 * (interfaces - 1) + 16 * config.packetSizes.size();
  std::vector<std::uint8_t> out{9, 2};
  PutWord(out, static_cast<std::uint16_t>(total));
  out.insert(out.end(), {interfaces, 1, 0, 0x80, 250});  // bus powered, 500 mA
  if (config.statusInterface) {
    PutInterface(out, kStatusInterface, 0);
    PutEndpoint(out, kStatusEndpoint, 0x03, 8, 10);
  }
  for (std::size_t alternate = 0; alternate < config.packetSizes.size(); ++alternate) {
    PutInterface(out, kStreamingInterface, static_cast<std::uint8_t>(alternate));
    PutEndpoint(out, kVideoEndpoint, 0x01, config.packetSizes[alternate], 1);
  }
  return out;
}

}  // namespace torvex::sim
