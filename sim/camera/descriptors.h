// The camera's USB descriptors in video mode, as the bytes it sends.
//
// Configuration layout: the 9-byte configuration descriptor; with two interfaces, first a
// 16-byte block (interface descriptor and one interrupt endpoint) for the status interface;
// then one 16-byte block (interface descriptor and one isochronous IN endpoint) per alternate
// setting of the streaming interface. Alternate setting 0 reserves no bandwidth (maximum packet
// size 0); higher ones carry larger packets, up to 1023 bytes at full speed.
#pragma once

#include <cstdint>
#include <vector>

namespace torvex::sim {

inline constexpr std::uint8_t kStreamingInterface = 0;
inline constexpr std::uint8_t kStatusInterface = 1;
inline constexpr std::uint8_t kVideoEndpoint = 0x81;   // isochronous IN
inline constexpr std::uint8_t kStatusEndpoint = 0x82;  // interrupt IN, never sends
inline constexpr std::uint16_t kMaxIsochronousPacket = 1023;

struct DescriptorConfig {
  std::uint16_t vendorId = 0x7E57;
  std::uint16_t productId = 0x0C01;
  bool statusInterface = false;  // two interfaces instead of one
  // Maximum packet size of the video endpoint for each alternate setting, from 0 on.
  std::vector<std::uint16_t> packetSizes{0, 128, 256, 384, 512, 768, 1008, 1023};
};

// Throws std::invalid_argument when the configuration cannot be described: no alternate
// setting, alternate setting 0 with bandwidth, or a packet size above 1023.
void ValidateDescriptorConfig(const DescriptorConfig& config);

std::vector<std::uint8_t> BuildDeviceDescriptor(const DescriptorConfig& config);

// The whole configuration descriptor set (wTotalLength bytes).
std::vector<std::uint8_t> BuildConfigurationDescriptor(const DescriptorConfig& config);

}  // namespace torvex::sim
