// Cuts compressed frames into isochronous packets the way the camera sends them.
//
// Every packet that carries data is exactly the endpoint's maximum packet size long and is read
// by the host in 8-byte groups from its start; bytes after the last whole group are not read.
// A group whose first four bytes are zero is filler. A frame starts a packet of its own, so the
// frame header (0x00, then 0x01..0x3F) is the packet's first bytes. When a continuation packet
// would begin with such a pair, a filler group goes first so that the host does not take it for
// a frame start. The last packet of a frame is padded with filler groups. A frame whose length
// is not a multiple of 8 is padded with zero bytes to a whole group.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace torvex::sim {

inline constexpr std::size_t kGroupBytes = 8;

// True when the first bytes of `bytes` look like the start of a frame.
bool LooksLikeFrameStart(std::span<const std::uint8_t> bytes);

class Packetiser {
 public:
  explicit Packetiser(std::uint16_t maxPacketSize = 0) : maxPacketSize_(maxPacketSize) {}

  // Changes the packet size; a frame in progress is abandoned.
  void SetMaxPacketSize(std::uint16_t maxPacketSize);
  std::uint16_t MaxPacketSize() const { return maxPacketSize_; }

  // True when a packet of this size can carry data: it needs room for a filler group in front
  // of a group that looks like a frame start.
  bool CanCarryData() const { return maxPacketSize_ >= 2 * kGroupBytes; }

  // Starts sending `frame`; a frame in progress is abandoned. Needs CanCarryData().
  void StartFrame(std::span<const std::uint8_t> frame);
  bool FrameInProgress() const { return inProgress_; }
  void AbandonFrame() { inProgress_ = false; }

  // The next packet of the frame in progress (MaxPacketSize() bytes). `startsFrame` tells whether
  // it is the frame's first packet. After the last packet FrameInProgress() turns false.
  std::vector<std::uint8_t> NextPacket(bool* startsFrame = nullptr);

  // A packet of filler groups, for the time between frames.
  std::vector<std::uint8_t> FillerPacket() const;

 private:
  std::uint16_t maxPacketSize_ = 0;
  std::vector<std::uint8_t> frame_;  // padded to whole groups
  std::size_t offset_ = 0;
  bool inProgress_ = false;
};

}  // namespace torvex::sim
