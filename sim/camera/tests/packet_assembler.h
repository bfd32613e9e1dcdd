// A small frame assembler that reads packets the way the host driver does: only packets of
// exactly the maximum packet size carry data; they are read in whole 8-byte groups; a group whose
// first four bytes are zero is filler; a packet beginning 0x00, 0x01..0x3F starts a frame, and a
// frame is complete when the next one starts. A short packet or an overflow drops the frame.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/camera/sim_camera.h"

namespace torvex::sim::testing {

inline constexpr std::size_t kAssemblyLimit = 142240;

class PacketAssembler {
 public:
  explicit PacketAssembler(std::size_t maxPacketSize) : maxPacketSize_(maxPacketSize) {}

  void Add(const IsoPacket& packet) {
    if (packet.status != PacketStatus::Ok) return;  // skipped, synchronisation kept
    if (packet.data.empty()) return;
    if (packet.data.size() != maxPacketSize_) {
      synced_ = false;
      return;
    }
    const auto& d = packet.data;
    const bool start = d[0] == 0x00 && d[1] >= 0x01 && d[1] <= 0x3F;
    std::vector<std::uint8_t> payload;
    for (std::size_t k = 0; k + 8 <= d.size(); k += 8) {
      if (d[k] == 0 && d[k + 1] == 0 && d[k + 2] == 0 && d[k + 3] == 0) continue;
      payload.insert(payload.end(), d.begin() + static_cast<std::ptrdiff_t>(k),
                     d.begin() + static_cast<std::ptrdiff_t>(k + 8));
    }
    if (start) {
      if (synced_) frames_.push_back(current_);
      synced_ = true;
      current_ = std::move(payload);
    } else {
      current_.insert(current_.end(), payload.begin(), payload.end());
    }
    if (current_.size() >= kAssemblyLimit) {
      current_.clear();
      synced_ = false;
      ++overflows_;
    }
  }

  const std::vector<std::vector<std::uint8_t>>& Frames() const { return frames_; }
  int Overflows() const { return overflows_; }

 private:
  std::size_t maxPacketSize_;
  bool synced_ = false;
  std::vector<std::uint8_t> current_;
  std::vector<std::vector<std::uint8_t>> frames_;
  int overflows_ = 0;
};

// A frame as it arrives: padded with zero bytes to whole groups.
inline std::vector<std::uint8_t> PaddedToGroups(std::vector<std::uint8_t> frame) {
  frame.resize((frame.size() + 7) / 8 * 8, 0);
  return frame;
}

}  // namespace torvex::sim::testing
