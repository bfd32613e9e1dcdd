// Recovery of live video from bus and camera faults, in virtual time, and a
// seeded soak run with random faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "isostream.h"
#include "tools/capture_session.h"
#include "tools/frame_tools.h"
#include "tools/imageio.h"

namespace {

using namespace std::chrono_literals;
using torvex::sim::StreamFault;
using torvex::sim::StreamFaultKind;
using torvex::tools::CaptureOptions;
using torvex::tools::CaptureSession;
using torvex::tools::CapturedFrame;

CaptureOptions Options() {
  static const auto photo =
      torvex::tools::DecodeImage(torvex::tools::ReadAll(std::string(TORVEX_PHOTOS_DIR) + "/coffee.png"));
  CaptureOptions options;
  options.pictures = {photo};
  options.quality = 3000;
  return options;
}

size_t CountLog(CaptureSession& session, const std::string& what) {
  const auto log = session.Host().log();
  return static_cast<size_t>(
      std::count_if(log.begin(), log.end(), [&](const std::string& line) { return line.find(what) != std::string::npos; }));
}

size_t Successful(const std::vector<CapturedFrame>& frames) {
  return static_cast<size_t>(std::count_if(frames.begin(), frames.end(), [](const CapturedFrame& f) {
    return f.status == STATUS_SUCCESS && !f.data.empty();
  }));
}

StreamExtension* StreamOf(CaptureSession& session) {
  return static_cast<StreamExtension*>(session.Stream().extension());
}

void ExpectClean(CaptureSession& session) {
  EXPECT_EQ(session.Shutdown().liveCount, 0u) << session.Kernel().leakReport();
  const auto violations = session.Violations();
  EXPECT_TRUE(violations.empty()) << violations.front();
}

struct FaultCase {
  const char* name;
  StreamFaultKind kind;
  bool enablesPort;
};

class RecoversFrom : public ::testing::TestWithParam<FaultCase> {};

// The stream halts, waiting reads are cancelled, the pipe is aborted and reset
// (after enabling a disabled port), and frames resume.
TEST_P(RecoversFrom, FaultOnAConnectedPort) {
  const FaultCase c = GetParam();
  CaptureSession session(Options());
  ASSERT_EQ(session.SetState(KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(Successful(session.Capture(2, 5s)), 2u);

  session.Camera().ArmStreamFault(StreamFault{c.kind, 20});
  const auto during = session.Capture(6, 10s);
  EXPECT_EQ(during.size(), 6u);
  EXPECT_TRUE(std::any_of(during.begin(), during.end(), [](const CapturedFrame& f) { return f.status == STATUS_CANCELLED; }));
  EXPECT_GE(Successful(during), 1u) << "frames resume after the reset";
  EXPECT_EQ(CountLog(session, "ABORT_PIPE"), 1u);
  EXPECT_EQ(CountLog(session, "ENABLE_PORT"), c.enablesPort ? 1u : 0u);
  EXPECT_EQ(StreamOf(session)->Adapter->ResetCount, -1);
  EXPECT_EQ(Successful(session.Capture(3, 5s)), 3u);
  ExpectClean(session);
}

INSTANTIATE_TEST_SUITE_P(Faults, RecoversFrom,
                         ::testing::Values(FaultCase{"stall", StreamFaultKind::Stall, false},
                                           FaultCase{"disabled port", StreamFaultKind::DisablePort, true}),
                         [](const auto& info) { return std::string(info.param.name) == "stall" ? "Stall" : "DisabledPort"; });

TEST(Recovery, UnpluggedCameraStopsTheStreamForGood) {
  CaptureSession session(Options());
  ASSERT_EQ(session.SetState(KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(Successful(session.Capture(2, 5s)), 2u);
  session.Camera().ArmStreamFault(StreamFault{StreamFaultKind::Unplug, 10});
  session.Kernel().advance(2s);
  StreamExtension* stream = StreamOf(session);
  EXPECT_EQ(stream->Adapter->DeviceGone, 1);
  EXPECT_EQ(stream->State, KSSTATE_STOP);
  EXPECT_EQ(CountLog(session, "ABORT_PIPE"), 0u);
  EXPECT_EQ(session.Host().pendingRequests(), 0u);
  const auto logged = session.Host().log().size();
  session.Kernel().advance(2s);
  EXPECT_EQ(session.Host().log().size(), logged) << "nothing is sent to a vanished camera";
  ExpectClean(session);
}

TEST(Recovery, OnlyOneResetRunsPerDevice) {
  CaptureSession session(Options());
  ASSERT_EQ(session.SetState(KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(Successful(session.Capture(2, 5s)), 2u);
  StreamExtension* stream = StreamOf(session);
  session.Kernel().runAtDispatch([&] {
    IsoUsb_ProcessResetRequest(stream->Adapter, stream);
    IsoUsb_ProcessResetRequest(stream->Adapter, stream);
  });
  session.Kernel().advance(1s);
  EXPECT_EQ(CountLog(session, "ABORT_PIPE"), 1u);
  EXPECT_EQ(stream->Adapter->ResetCount, -1);
  // The reset cancelled the reads that waited; later ones get frames.
  EXPECT_GE(Successful(session.Capture(6, 5s)), 3u);
  ExpectClean(session);
}

TEST(Recovery, ReadTimingOutInPauseDoesNotHang) {
  CaptureSession session(Options());
  torvex::platform::ks::Request read = session.Stream().read(session.FrameBytes());
  session.Kernel().advance(4s);  // the read times out: state stop and a reset request
  StreamExtension* stream = StreamOf(session);
  EXPECT_EQ(stream->State, KSSTATE_STOP);
  EXPECT_EQ(stream->Adapter->ResetCount, -1) << "the reset ended";
  EXPECT_FALSE(read.done());
  // UsbLock is free: the stream can run again and the waiting read gets a frame.
  ASSERT_EQ(session.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  ASSERT_EQ(session.SetState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_TRUE(session.Kernel().runUntil([&] { return read.done(); }, 3s));
  EXPECT_EQ(read.status(), STATUS_SUCCESS);
  ExpectClean(session);
}

// Minutes of virtual time with random faults: after every step each read has
// completed at most once (the class model checks it), nothing is in flight
// after a stop, frames resume after every recoverable fault, and at the end the
// pool holds nothing of the driver's.
TEST(Soak, RandomFaultsOverMinutes) {
  const uint32_t seed = 20261211;
  std::mt19937 random(seed);
  CaptureOptions options = Options();
  options.framesPerSecond = 10;
  CaptureSession session(options);
  ASSERT_EQ(session.SetState(KSSTATE_RUN), STATUS_SUCCESS);
  const StreamFaultKind recoverable[] = {StreamFaultKind::PacketError, StreamFaultKind::ShortPacket,
                                         StreamFaultKind::Stall, StreamFaultKind::DisablePort,
                                         StreamFaultKind::OversizeFrame, StreamFaultKind::ButtonPress};
  for (int step = 0; step < 40; ++step) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " step " + std::to_string(step));
    const int action = static_cast<int>(random() % 10);
    std::string what = "action " + std::to_string(action);
    if (action < 6) {
      StreamFault fault{recoverable[random() % std::size(recoverable)], random() % 200};
      fault.count = 1 + static_cast<int>(random() % 5);
      what += " fault " + std::to_string(static_cast<int>(fault.kind)) + " after " +
              std::to_string(fault.afterPackets) + " count " + std::to_string(fault.count);
      session.Camera().ArmStreamFault(fault);
    } else if (action == 6) {
      // Stop and run again: nothing may stay in flight after the stop.
      session.Stop();
      ASSERT_EQ(session.Host().pendingRequests(), 0u);
      ASSERT_EQ(StreamOf(session)->DecodesPending, 0);
      ASSERT_EQ(session.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
      ASSERT_EQ(session.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    } else if (action == 7) {
      session.SetState(KSSTATE_PAUSE);
      session.Kernel().advance(std::chrono::milliseconds(random() % 500));
      session.SetState(KSSTATE_RUN);
    }
    SCOPED_TRACE(what);
    session.Kernel().advance(std::chrono::milliseconds(500 + random() % 2500));
    // Frames resume: within a few seconds of virtual time a frame arrives
    // (reads cancelled by a reset come back first).
    const auto deadline = session.Kernel().now() + 80000000;
    size_t good = 0;
    while (good == 0 && session.Kernel().now() < deadline) {
      const auto frames = session.Capture(1, 8s);
      if (frames.empty()) break;
      good += Successful(frames);
    }
    ASSERT_EQ(good, 1u);
    ASSERT_TRUE(session.Violations().empty()) << session.Violations().front();
  }
  EXPECT_GT(session.Kernel().now(), 60LL * 10000000);
  ExpectClean(session);
}

}  // namespace
