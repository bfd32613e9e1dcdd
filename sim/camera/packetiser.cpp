#include "packetiser.h"

#include <algorithm>

namespace torvex::sim {

// Bytes after the last whole group of a packet are not read by the host; the camera leaves a
// marker there rather than zeros so that a host reading them would notice.
constexpr std::uint8_t kTailByte = 0xEE;

bool LooksLikeFrameStart(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= 2 && bytes[0] == 0x00 && bytes[1] >= 0x01 && bytes[1] <= 0x3F;
}

void Packetiser::SetMaxPacketSize(std::uint16_t maxPacketSize) {
  maxPacketSize_ = maxPacketSize;
  inProgress_ = false;
}

void Packetiser::StartFrame(std::span<const std::uint8_t> frame) {
  const std::size_t padded = (frame.size() + kGroupBytes - 1) / kGroupBytes * kGroupBytes;
  frame_.assign(padded, 0);
  std::copy(frame.begin(), frame.end(), frame_.begin());
  offset_ = 0;
  inProgress_ = CanCarryData() && !frame_.empty();
}

std::vector<std::uint8_t> Packetiser::FillerPacket() const {
  std::vector<std::uint8_t> packet(maxPacketSize_, 0);
  std::fill(packet.begin() + maxPacketSize_ / kGroupBytes * kGroupBytes, packet.end(), kTailByte);
  return packet;
}

std::vector<std::uint8_t> Packetiser::NextPacket(bool* startsFrame) {
  std::vector<std::uint8_t> packet = FillerPacket();
  if (startsFrame) *startsFrame = inProgress_ && offset_ == 0;
  if (!inProgress_) return packet;

  const std::size_t groups = maxPacketSize_ / kGroupBytes;
  std::size_t group = 0;
  const std::span<const std::uint8_t> rest(frame_.data() + offset_, frame_.size() - offset_);
  if (offset_ > 0 && LooksLikeFrameStart(rest)) group = 1;  // leading filler group

  const std::size_t bytes = std::min(rest.size(), (groups - group) * kGroupBytes);
  std::copy_n(rest.begin(), bytes, packet.begin() + group * kGroupBytes);
  offset_ += bytes;
  if (offset_ == frame_.size()) inProgress_ = false;
  return packet;
}

}  // namespace torvex::sim
