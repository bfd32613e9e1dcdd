// Frame assembly from isochronous packets: completed transfers are fed
// straight into IsoUsb_ProcessTransfer with no read waiting, so every complete
// frame ends up in the stream's spare buffer, where the test reads it.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "isostream.h"
#include "kernel/kernel.h"
#include "sim/camera/packetiser.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Packet {
  Bytes data;
  USBD_STATUS status = USBD_STATUS_SUCCESS;
};

// A frame whose groups never look like filler: the header, then bytes 1..255.
Bytes MakeFrame(size_t length, uint32_t seed) {
  Bytes frame(length);
  std::mt19937 random(seed);
  for (auto& b : frame) b = static_cast<uint8_t>(1 + random() % 255);
  frame[0] = 0x00;
  frame[1] = static_cast<uint8_t>(1 + seed % 0x3F);
  return frame;
}

// The frame as the host keeps it: padded with zero bytes to whole groups.
Bytes Padded(Bytes frame) {
  frame.resize((frame.size() + 7) / 8 * 8, 0);
  return frame;
}

class Assembly : public ::testing::Test {
 protected:
  void SetUp() override { Configure(1008); }

  void Configure(uint16_t packetSize) {
    adapter = std::make_unique<AdapterExtension>();
    stream = std::make_unique<StreamExtension>();
    InitializeListHead(&adapter->DataQueue[0]);
    KeInitializeSpinLock(&adapter->DataQueueLock[0]);
    object = HW_STREAM_OBJECT{};
    stream->Adapter = adapter.get();
    stream->StreamObject = &object;
    stream->State = KSSTATE_RUN;
    assembly.assign(FRAME_BUFFER_SIZE, 0xCC);
    spare.assign(FRAME_BUFFER_SIZE, 0xCC);
    stream->AssemblyBuffer = assembly.data();
    stream->SpareBuffer = spare.data();
    pipe = USBD_PIPE_INFORMATION{};
    pipe.MaximumPacketSize = packetSize;
    stream->Pipe = &pipe;
  }

  // One completed transfer carrying these packets.
  void Feed(const std::vector<Packet>& packets) {
    const ULONG count = static_cast<ULONG>(packets.size());
    Bytes urb(sizeof(_URB_ISOCH_TRANSFER) + count * sizeof(USBD_ISO_PACKET_DESCRIPTOR), 0);
    Bytes buffer(static_cast<size_t>(count) * pipe.MaximumPacketSize, 0);
    IsoTransfer transfer{};
    transfer.Stream = stream.get();
    transfer.Adapter = adapter.get();
    transfer.Packets = count;
    transfer.Urb = reinterpret_cast<PURB>(urb.data());
    transfer.Buffer = buffer.data();
    transfer.Urb->UrbIsochronousTransfer.NumberOfPackets = count;
    for (ULONG i = 0; i < count; ++i) {
      auto& descriptor = transfer.Urb->UrbIsochronousTransfer.IsoPacket[i];
      descriptor.Offset = i * pipe.MaximumPacketSize;
      descriptor.Length = static_cast<ULONG>(packets[i].data.size());
      descriptor.Status = packets[i].status;
      std::copy(packets[i].data.begin(), packets[i].data.end(), buffer.begin() + descriptor.Offset);
    }
    IsoUsb_ProcessTransfer(&transfer);
  }

  // The complete frame waiting for a read, empty when none.
  Bytes PendingFrame() const {
    return Bytes(stream->SpareBuffer, stream->SpareBuffer + stream->PendingLength);
  }

  // The packets the camera sends for a frame.
  std::vector<Packet> PacketsOf(const Bytes& frame) {
    torvex::sim::Packetiser packetiser(pipe.MaximumPacketSize);
    packetiser.StartFrame(frame);
    std::vector<Packet> packets;
    while (packetiser.FrameInProgress()) packets.push_back({packetiser.NextPacket()});
    return packets;
  }

  Packet Filler() const { return {torvex::sim::Packetiser(pipe.MaximumPacketSize).FillerPacket()}; }

  torvex::platform::Kernel kernel;
  std::unique_ptr<AdapterExtension> adapter;
  std::unique_ptr<StreamExtension> stream;
  HW_STREAM_OBJECT object{};
  USBD_PIPE_INFORMATION pipe{};
  Bytes assembly, spare;
};

// Frames of several lengths over every packet size the camera offers come
// back exactly, one packet per transfer and all packets in one transfer.
class AssemblyRoundTrip : public Assembly, public ::testing::WithParamInterface<std::tuple<uint16_t, bool>> {};

TEST_P(AssemblyRoundTrip, FramesComeBackExactly) {
  const auto [packetSize, oneTransfer] = GetParam();
  Configure(packetSize);
  const std::vector<Bytes> frames = {MakeFrame(6000, 1), MakeFrame(777, 2), MakeFrame(DCMP_MAX_FRAME_BYTES, 3),
                                     MakeFrame(6000, 4)};
  std::vector<Packet> all;
  for (size_t f = 0; f < frames.size(); ++f) {
    for (auto& packet : PacketsOf(frames[f])) {
      const bool starts = packet.data[0] == 0 && packet.data[1] >= 1 && packet.data[1] <= 0x3F;
      if (!oneTransfer) {
        Feed({packet});
        // A frame start completes the frame before it.
        if (starts && f > 0) {
          EXPECT_EQ(PendingFrame(), Padded(frames[f - 1])) << "frame " << f - 1;
        }
      }
      all.push_back(packet);
    }
    all.push_back(Filler());
    all.push_back({});  // zero-length packet between frames
  }
  if (oneTransfer) {
    Feed(all);
    EXPECT_EQ(PendingFrame(), Padded(frames[frames.size() - 2]));
  }
  // The terminating zero byte is written only when a read takes the frame.
}

INSTANTIATE_TEST_SUITE_P(PacketSizes, AssemblyRoundTrip,
                         ::testing::Combine(::testing::Values<uint16_t>(1023, 1008, 512, 64),
                                            ::testing::Bool()));

TEST_F(Assembly, FillerGroupsAreDroppedAndOthersKept) {
  Bytes start = Filler().data;
  start[0] = 0x00, start[1] = 0x05, start[2] = 0x11, start[3] = 0x22;
  Bytes data = Filler().data;
  const Bytes filler = {0, 0, 0, 0, 0x12, 0x34, 0x56, 0x78};
  const Bytes kept = {0, 0, 0, 1, 0, 0, 0, 0};
  std::copy(filler.begin(), filler.end(), data.begin());
  std::copy(kept.begin(), kept.end(), data.begin() + 8);
  Feed({{start}, {data}, {start}});
  Bytes expected = {0x00, 0x05, 0x11, 0x22, 0, 0, 0, 0};
  expected.insert(expected.end(), kept.begin(), kept.end());
  EXPECT_EQ(PendingFrame(), expected);
}

TEST_F(Assembly, PacketThatOnlyLooksLikeDataDoesNotStartAFrame) {
  const Bytes frame = MakeFrame(3000, 7);
  auto packets = PacketsOf(frame);
  // Continuation packets starting 00 00, 00 40 or 01 05 are data.
  for (const Bytes& head : {Bytes{0x00, 0x00, 0, 1}, Bytes{0x00, 0x40, 1, 1}, Bytes{0x01, 0x05, 1, 1}}) {
    Configure(1008);
    auto changed = packets;
    std::copy(head.begin(), head.end(), changed[1].data.begin());
    Feed(changed);
    Feed(PacketsOf(MakeFrame(100, 8)));
    Bytes expected = Padded(frame);
    std::copy(head.begin(), head.end(), expected.begin() + 1008);
    EXPECT_EQ(PendingFrame(), expected);
  }
}

TEST_F(Assembly, BrokenPacketsDropOrThinTheFrame) {
  const Bytes first = MakeFrame(3000, 11), second = MakeFrame(3000, 12), third = MakeFrame(100, 13);
  auto packets = PacketsOf(first);

  // A short packet drops the frame in progress: nothing at the next start.
  auto shortened = packets;
  shortened[1].data.resize(64);
  Feed(shortened);
  Feed(PacketsOf(second));
  EXPECT_EQ(stream->PendingLength, 0u);
  Feed(PacketsOf(third));
  EXPECT_EQ(PendingFrame(), Padded(second));

  // A packet with an error status is skipped; the frame arrives without it.
  Configure(1008);
  auto damaged = packets;
  damaged[1].status = USBD_STATUS_CRC;
  Feed(damaged);
  Feed(PacketsOf(second));
  Bytes expected = Padded(first);
  expected.erase(expected.begin() + 1008, expected.begin() + 2016);
  EXPECT_EQ(PendingFrame(), expected);
}

TEST_F(Assembly, OversizeFrameIsDroppedWithoutWritingPastTheBuffer) {
  Feed(PacketsOf(MakeFrame(ISO_FRAME_LIMIT_BYTES + 500, 21)));
  Feed(PacketsOf(MakeFrame(100, 22)));
  EXPECT_EQ(stream->PendingLength, 0u);
  for (size_t i = ISO_FRAME_LIMIT_BYTES; i < FRAME_BUFFER_SIZE; ++i) ASSERT_EQ(assembly[i], 0xCC);
  const Bytes next = MakeFrame(200, 23);
  Feed(PacketsOf(next));
  Feed(PacketsOf(MakeFrame(100, 24)));
  EXPECT_EQ(PendingFrame(), Padded(next));
}

TEST_F(Assembly, OnlyTheNewestFrameWaitsAndMarksADiscontinuity) {
  const Bytes a = MakeFrame(2000, 31), b = MakeFrame(2500, 32), c = MakeFrame(100, 33);
  Feed(PacketsOf(a));
  Feed(PacketsOf(b));
  EXPECT_EQ(stream->Discontinuity, 0u);  // nothing was pending when this transfer began
  Feed(PacketsOf(c));
  EXPECT_EQ(PendingFrame(), Padded(b));
  EXPECT_EQ(stream->Discontinuity, 1u);
}

TEST_F(Assembly, NothingIsAssembledOutsideTheRunState) {
  for (KSSTATE state : {KSSTATE_STOP, KSSTATE_ACQUIRE, KSSTATE_PAUSE}) {
    Configure(1008);
    stream->State = state;
    Feed(PacketsOf(MakeFrame(2000, 41)));
    Feed(PacketsOf(MakeFrame(2000, 42)));
    EXPECT_EQ(stream->PendingLength, 0u);
    EXPECT_EQ(stream->Synced, 0u);
  }
}

TEST(PacketsPerTransfer, FollowsThePacketSize) {
  struct Case {
    USHORT packetSize;
    ULONG packets;
  };
  for (const Case c : {Case{1008, 8}, Case{1023, 7}, Case{512, 15}, Case{0, 0}, Case{1025, 0}, Case{16, 0}}) {
    USBD_PIPE_INFORMATION pipe{};
    pipe.MaximumPacketSize = c.packetSize;
    EXPECT_EQ(IsoUsb_PacketsPerTransfer(&pipe, ISOUSB_MAX_TRANSFER_SIZE), c.packets) << c.packetSize;
  }
  EXPECT_EQ(IsoUsb_PacketsPerTransfer(nullptr, ISOUSB_MAX_TRANSFER_SIZE), 0u);
}

}  // namespace
