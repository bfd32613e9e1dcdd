#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>

#include "packet_assembler.h"
#include "sim/camera/sim_camera.h"

namespace torvex::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::PacketAssembler;
using testing::PaddedToGroups;

// A frame whose bytes after the header are never zero: no filler, no false frame start.
Bytes PlainFrame(std::size_t length, std::uint8_t seed) {
  Bytes frame(length);
  for (std::size_t i = 0; i < length; ++i) frame[i] = static_cast<std::uint8_t>(0x40 + (i * 7 + seed) % 0xBF);
  frame[0] = 0x00;
  frame[1] = seed % 0x3F + 1;
  return frame;
}

// A frame in which every group begins like a frame start, so every continuation packet needs a
// filler group in front.
Bytes FakeStartFrame(std::size_t groups) {
  Bytes frame;
  for (std::size_t g = 0; g < groups; ++g)
    frame.insert(frame.end(), {0x00, 0x05, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, static_cast<std::uint8_t>(g)});
  return frame;
}

SetupPacket VideoOn(bool on) { return {kVendorDeviceIn, 0x13, on ? std::uint16_t{1} : std::uint16_t{0}, 0, 6}; }

// A camera streaming the given frames on one alternate setting, one packet per bus frame.
struct Rig {
  explicit Rig(std::vector<Bytes> frames, CameraConfig config = {}, std::uint8_t alternate = 6)
      : camera(config, std::make_unique<FrameListSource>(std::move(frames))) {
    EXPECT_TRUE(camera.SelectAlternateSetting(kStreamingInterface, alternate, 0));
    camera.Control(VideoOn(true), 0);
  }
  std::size_t PacketSize() const { return camera.Descriptors().packetSizes[camera.AlternateSetting()]; }
  std::vector<IsoPacket> Run(std::size_t packets) {
    std::vector<IsoPacket> out;
    for (std::size_t i = 0; i < packets; ++i) out.push_back(camera.VideoPacket(busFrame++));
    return out;
  }
  // Runs until `frames` frames have started, feeding the assembler.
  void RunFrames(std::size_t frames, PacketAssembler& assembler) {
    for (int guard = 0; guard < 100000 && camera.Log().Frames().size() < frames; ++guard)
      assembler.Add(camera.VideoPacket(busFrame++));
  }

  SimCamera camera;
  std::uint64_t busFrame = 0;
};

struct RoundTripCase {
  const char* name;
  std::uint8_t alternate;
  std::uint16_t packetSize;
  bool filler;
};
void PrintTo(const RoundTripCase& c, std::ostream* os) { *os << c.name; }

class PacketStream : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(PacketStream, AssemblesBackIntoTheFramesSent) {
  const RoundTripCase& c = GetParam();
  const std::vector<Bytes> frames{PlainFrame(1003, 1), FakeStartFrame(500), PlainFrame(20000, 9)};
  CameraConfig config;
  config.descriptors.packetSizes = {0, c.packetSize};
  config.fillerBetweenFrames = c.filler;
  config.framesPerSecond = 30;
  Rig rig(frames, config, 1);
  PacketAssembler assembler(c.packetSize);
  rig.RunFrames(5, assembler);

  ASSERT_GE(assembler.Frames().size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(assembler.Frames()[i], PaddedToGroups(frames[i % 3])) << i;
  for (const PacketRecord& packet : rig.camera.Log().Packets()) {
    EXPECT_TRUE(packet.length == c.packetSize || (!c.filler && packet.length == 0)) << packet.busFrame;
    EXPECT_EQ(packet.status, PacketStatus::Ok);
  }
  const auto logged = rig.camera.Log().Frames();
  for (std::size_t i = 0; i + 1 < logged.size(); ++i) {
    EXPECT_EQ(logged[i].bytes, frames[i % 3]);
    EXPECT_TRUE(logged[i].completed);
  }
}

const RoundTripCase kRoundTrips[] = {
    {"Smallest", 1, 16, false}, {"Small", 1, 128, true}, {"Full1008", 1, 1008, false},
    {"Full1023", 1, 1023, true}, {"Odd1001", 1, 1001, false},
};

INSTANTIATE_TEST_SUITE_P(Camera, PacketStream, ::testing::ValuesIn(kRoundTrips),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PacketStreamTiming, FramesStartAtTheFrameRateAndSkipWhileBusy) {
  struct Case {
    double fps;
    std::size_t frameBytes;
    std::vector<std::uint64_t> starts;
    std::size_t skips;
  };
  // 1008-byte packets carry 1008 bytes: a 500-byte frame takes one packet, 8000 bytes eight.
  for (const Case& c : {Case{100, 500, {0, 10, 20, 30}, 0}, Case{250, 8000, {0, 8, 16, 24}, 3}}) {
    CameraConfig config;
    config.framesPerSecond = c.fps;
    Rig rig({PlainFrame(c.frameBytes, 3)}, config);
    rig.Run(c.starts.back() + 1);
    std::vector<std::uint64_t> starts;
    for (const FrameRecord& frame : rig.camera.Log().Frames()) starts.push_back(frame.firstBusFrame);
    EXPECT_EQ(starts, c.starts) << c.fps;
    EXPECT_EQ(rig.camera.Log().CountEvents(CameraEvent::FrameSkipped), c.skips) << c.fps;
  }
}

TEST(PacketStreamTiming, NothingIsSentWithoutVideoOrBandwidth) {
  Rig rig({PlainFrame(3000, 2)});
  rig.camera.Control(VideoOn(false), 0);
  for (const IsoPacket& p : rig.Run(5)) EXPECT_TRUE(p.data.empty());

  rig.camera.Control(VideoOn(true), 0);
  rig.camera.SelectAlternateSetting(kStreamingInterface, 0, 0);
  for (const IsoPacket& p : rig.Run(5)) EXPECT_TRUE(p.data.empty());
  EXPECT_TRUE(rig.camera.Log().Frames().empty());
}

TEST(PacketStreamTiming, VideoOffAbandonsTheFrameAndVideoOnStartsAFreshOne) {
  Rig rig({PlainFrame(3000, 2)});
  rig.Run(2);  // a 3000-byte frame needs three packets
  rig.camera.Control(VideoOn(false), 0);
  rig.Run(3);
  rig.camera.Control(VideoOn(true), 0);
  const std::vector<IsoPacket> packets = rig.Run(1);
  EXPECT_TRUE(LooksLikeFrameStart(packets[0].data));

  const auto frames = rig.camera.Log().Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_FALSE(frames[0].completed);
  EXPECT_EQ(frames[1].firstBusFrame, 5u);
}

TEST(PacketStreamTiming, BusFramesNotPolledLoseTheirPackets) {
  const Bytes frame = PlainFrame(3000, 2);  // three packets of 1008 bytes
  Rig rig({frame});
  rig.Run(1);
  rig.busFrame += 1;  // the host misses the second packet
  const std::vector<IsoPacket> third = rig.Run(1);
  const Bytes padded = PaddedToGroups(frame);
  EXPECT_TRUE(std::equal(padded.begin() + 2016, padded.end(), third[0].data.begin()));
  EXPECT_TRUE(rig.camera.Log().Frames()[0].completed);
  EXPECT_EQ(rig.camera.Log().CountEvents(CameraEvent::PacketsMissed), 1u);
}

class StreamFaults : public ::testing::Test {
 protected:
  // Three frames of three 1008-byte packets each, at 1000 frames a second: one frame follows
  // the other without a gap.
  StreamFaults() : rig(frames, Fast()) {}
  static CameraConfig Fast() {
    CameraConfig config;
    config.framesPerSecond = 1000;
    return config;
  }
  std::vector<Bytes> frames{PlainFrame(3000, 1), PlainFrame(2500, 2), PlainFrame(2900, 3)};
  Rig rig;
  PacketAssembler assembler{1008};
};

TEST_F(StreamFaults, PacketErrorLosesThatPacketButKeepsTheFrame) {
  rig.camera.ArmStreamFault({StreamFaultKind::PacketError, 1});
  rig.RunFrames(3, assembler);

  Bytes withoutSecondPacket = PaddedToGroups(frames[0]);
  withoutSecondPacket.erase(withoutSecondPacket.begin() + 1008, withoutSecondPacket.begin() + 2016);
  ASSERT_EQ(assembler.Frames().size(), 2u);
  EXPECT_EQ(assembler.Frames()[0], withoutSecondPacket);
  EXPECT_EQ(assembler.Frames()[1], PaddedToGroups(frames[1]));
  EXPECT_EQ(rig.camera.Log().Packets()[1].status, PacketStatus::Error);
}

TEST_F(StreamFaults, ShortPacketsDropTheirFrames) {
  rig.camera.ArmStreamFault({.kind = StreamFaultKind::ShortPacket, .afterPackets = 2, .count = 2,
                             .shortLength = 100});
  rig.RunFrames(4, assembler);

  const auto packets = rig.camera.Log().Packets();
  EXPECT_EQ(packets[2].length, 100u);
  EXPECT_EQ(packets[3].length, 100u);
  // Frame 0 loses its last packet and frame 1 its first: neither arrives.
  ASSERT_EQ(assembler.Frames().size(), 1u);
  EXPECT_EQ(assembler.Frames()[0], PaddedToGroups(frames[2]));
}

TEST_F(StreamFaults, StallHaltsTheEndpointUntilTheHostResetsIt) {
  rig.camera.ArmStreamFault({StreamFaultKind::Stall, 1});
  const auto stalled = rig.Run(4);
  EXPECT_EQ(stalled[0].status, PacketStatus::Ok);
  for (std::size_t i = 1; i < stalled.size(); ++i) {
    EXPECT_EQ(stalled[i].status, PacketStatus::Stalled);
    EXPECT_TRUE(stalled[i].data.empty());
  }
  rig.camera.ResetVideoEndpoint(rig.busFrame);
  const auto resumed = rig.Run(1);
  EXPECT_EQ(resumed[0].status, PacketStatus::Ok);
  EXPECT_TRUE(LooksLikeFrameStart(resumed[0].data));

  const auto logged = rig.camera.Log().Frames();
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_FALSE(logged[0].completed);
  EXPECT_EQ(rig.camera.Log().CountEvents(CameraEvent::StallSet), 1u);
  EXPECT_EQ(rig.camera.Log().CountEvents(CameraEvent::EndpointReset), 1u);
}

TEST_F(StreamFaults, TransferAndPortFaultsMarkTheirPacket) {
  rig.camera.ArmStreamFault({StreamFaultKind::TransferError, 1});
  rig.camera.ArmStreamFault({StreamFaultKind::DisablePort, 2});
  rig.camera.ArmStreamFault({StreamFaultKind::Unplug, 4});
  std::vector<PortAction> actions;
  std::vector<bool> failing;
  for (const IsoPacket& p : rig.Run(6)) {
    actions.push_back(p.port);
    failing.push_back(p.failsTransfer);
  }
  using enum PortAction;
  EXPECT_EQ(actions, (std::vector<PortAction>{None, None, Disable, None, Unplug, None}));
  EXPECT_EQ(failing, (std::vector<bool>{false, true, false, false, false, false}));
}

TEST_F(StreamFaults, OversizeFrameOverflowsTheHostAndTheNextFrameArrives) {
  rig.camera.ArmStreamFault({.kind = StreamFaultKind::OversizeFrame, .oversizeBytes = 150000});
  rig.RunFrames(3, assembler);

  EXPECT_EQ(assembler.Overflows(), 1);
  ASSERT_EQ(assembler.Frames().size(), 1u);
  EXPECT_EQ(assembler.Frames()[0], PaddedToGroups(frames[0]));
  const auto logged = rig.camera.Log().Frames();
  EXPECT_EQ(logged[0].bytes.size(), 150000u);
  EXPECT_TRUE(logged[0].completed);
}

TEST_F(StreamFaults, ButtonPressLatchesUntilRead) {
  const SetupPacket readButton{kVendorDeviceIn, 0x15, 0, 0, 1};
  rig.camera.ArmStreamFault({StreamFaultKind::ButtonPress, 3});
  rig.Run(3);
  EXPECT_EQ(rig.camera.Control(readButton, rig.busFrame).data, Bytes{0});
  rig.Run(1);
  EXPECT_EQ(rig.camera.Control(readButton, rig.busFrame).data, Bytes{kButtonPressed});
  EXPECT_EQ(rig.camera.Log().CountEvents(CameraEvent::ButtonPressed), 1u);
}

TEST(CameraPower, PowerOnRestoresTheInitialState) {
  CameraConfig config;
  config.initialSettings.contrast = 99;
  Rig rig({PlainFrame(3000, 1)}, config);
  rig.camera.Control({kVendorDeviceIn, 0x17, 1, 5, 6}, 0);
  rig.Run(1);
  rig.camera.PowerOn();
  EXPECT_EQ(rig.camera.Settings(), config.initialSettings);
  EXPECT_EQ(rig.camera.AlternateSetting(), 0);
  EXPECT_TRUE(rig.Run(1)[0].data.empty());
}

TEST(CameraConfigCheck, RejectsImpossibleConfigurations) {
  CameraConfig rate;
  rate.framesPerSecond = 0;
  EXPECT_THROW(SimCamera{rate}, std::invalid_argument);
  SimCamera camera;
  EXPECT_THROW(camera.SetFrameRate(2000), std::invalid_argument);
  EXPECT_FALSE(camera.SelectAlternateSetting(kStreamingInterface, 8, 0));
  EXPECT_FALSE(camera.SelectAlternateSetting(kStatusInterface, 0, 0));
}

}  // namespace
}  // namespace torvex::sim
