// Recovery of live video from bus and camera faults, in virtual time, and a
// seeded soak run with random faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
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

// Index of the first host log line at or after `from` that contains `what`; the
// log's size when there is none.
size_t LogIndex(CaptureSession& session, const std::string& what, size_t from = 0) {
  const auto log = session.Host().log();
  for (size_t i = from; i < log.size(); ++i)
    if (log[i].find(what) != std::string::npos) return i;
  return log.size();
}

size_t Successful(const std::vector<CapturedFrame>& frames) {
  return static_cast<size_t>(std::count_if(frames.begin(), frames.end(), [](const CapturedFrame& f) {
    return f.status == STATUS_SUCCESS && !f.data.empty();
  }));
}

// The camera sends the same picture every frame: every frame delivered whole
// decodes to the same bytes, while one glued from two frames does not.
void ExpectWholePictures(const std::vector<CapturedFrame>& frames, const std::vector<uint8_t>& picture) {
  for (size_t i = 0; i < frames.size(); ++i) {
    if (frames[i].status != STATUS_SUCCESS) continue;
    EXPECT_TRUE(frames[i].data == picture) << "frame " << i;
  }
}

StreamExtension* StreamOf(CaptureSession& session) {
  return static_cast<StreamExtension*>(session.Stream().extension());
}

void ExpectClean(CaptureSession& session) {
  EXPECT_EQ(session.Shutdown().liveCount, 0u) << session.Kernel().leakReport();
  const auto violations = session.Violations();
  EXPECT_TRUE(violations.empty()) << violations.front();
}

// The records a transfer is sent with: a restart must send these same ones.
struct TransferRecords {
  IsoTransfer* transfer;
  PIRP irp;
  PURB urb;
  PUCHAR buffer;
  bool operator==(const TransferRecords&) const = default;
};

std::vector<TransferRecords> TransfersOf(StreamExtension* stream) {
  std::vector<TransferRecords> records;
  for (IsoTransfer* t : stream->Transfers) records.push_back({t, t->Irp, t->Urb, t->Buffer});
  return records;
}

struct FaultCase {
  const char* name;
  StreamFaultKind kind;
  bool enablesPort;
};

class RecoversFrom : public ::testing::TestWithParam<FaultCase> {};

// The stream halts, waiting reads are cancelled, the pipe is aborted and reset
// (after enabling a disabled port), the same transfers are sent again, and
// whole frames resume.
TEST_P(RecoversFrom, FaultOnAConnectedPort) {
  const FaultCase c = GetParam();
  CaptureSession session(Options());
  ASSERT_EQ(session.SetState(KSSTATE_RUN), STATUS_SUCCESS);
  const auto before = session.Capture(2, 5s);
  ASSERT_EQ(Successful(before), 2u);
  StreamExtension* stream = StreamOf(session);
  const auto transfers = TransfersOf(stream);
  const ULONG bufferBytes = transfers[0].transfer->Packets * stream->Pipe->MaximumPacketSize;
  const ULONG urbBytes = transfers[0].transfer->UrbSize;
  // Any allocation the size of a transfer, its buffer or its URB would mean the
  // restart built new transfers instead of reusing the old ones.
  std::atomic<int> transferSizedAllocations{0};
  session.Kernel().setAllocationFailure([&](POOL_TYPE, SIZE_T bytes, ULONG) {
    if (bytes == bufferBytes || bytes == urbBytes || bytes == sizeof(IsoTransfer)) ++transferSizedAllocations;
    return false;
  });
  const size_t logStart = session.Host().log().size();

  session.Camera().ArmStreamFault(StreamFault{c.kind, 20});
  const auto during = session.Capture(6, 10s);
  EXPECT_EQ(during.size(), 6u);
  EXPECT_TRUE(std::any_of(during.begin(), during.end(), [](const CapturedFrame& f) { return f.status == STATUS_CANCELLED; }));
  EXPECT_GE(Successful(during), 1u) << "frames resume after the reset";
  EXPECT_EQ(CountLog(session, "ABORT_PIPE"), 1u);
  EXPECT_EQ(CountLog(session, "ENABLE_PORT"), c.enablesPort ? 1u : 0u);
  // Order on the bus: port status, enable (if disabled), abort, then reset.
  const size_t status = LogIndex(session, "GET_PORT_STATUS", logStart);
  const size_t abort = LogIndex(session, "ABORT_PIPE", logStart);
  EXPECT_LT(status, abort);
  if (c.enablesPort) {
    EXPECT_LT(LogIndex(session, "ENABLE_PORT", logStart), abort);
  }
  EXPECT_LT(LogIndex(session, "RESET_PIPE", abort), session.Host().log().size()) << "the pipe is reset after the abort";
  EXPECT_EQ(stream->Adapter->ResetCount, -1);

  EXPECT_EQ(TransfersOf(stream), transfers) << "the restart resends the same transfers, IRPs, URBs and buffers";
  EXPECT_EQ(transferSizedAllocations.load(), 0);
  EXPECT_EQ(stream->PendingTransfers, 2) << "both transfers are in flight again";

  // Every frame delivered around the reset is the whole picture, as before it.
  const auto after = session.Capture(3, 5s);
  EXPECT_EQ(Successful(after), 3u);
  ExpectWholePictures(during, before[0].data);
  ExpectWholePictures(after, before[0].data);
  session.Kernel().setAllocationFailure({});
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

struct BackToBackCase {
  const char* name;
  bool usbLockBusy;  // a start, stop or setting selection holds UsbLock meanwhile
};

class TwoBusErrorsInARow : public ::testing::TestWithParam<BackToBackCase> {};

// Both transfers in flight end with a bus error, one after the other. Exactly
// one reset runs, also when it cannot start at once and the watchdog keeps
// asking for it every period meanwhile; then frames resume.
TEST_P(TwoBusErrorsInARow, RunOneReset) {
  CaptureSession session(Options());
  ASSERT_EQ(session.SetState(KSSTATE_RUN), STATUS_SUCCESS);
  const auto before = session.Capture(2, 5s);
  ASSERT_EQ(Successful(before), 2u);
  StreamExtension* stream = StreamOf(session);
  AdapterExtension* adapter = stream->Adapter;
  if (GetParam().usbLockBusy) {
    session.Kernel().runAtPassive([adapter] { UsbLockAcquire(adapter); });
    session.Kernel().runUntilIdle();
  }

  // The first error ends one transfer; the next packet polled belongs to the
  // other transfer in flight, which ends with the second error.
  session.Camera().ArmStreamFault(StreamFault{StreamFaultKind::TransferError, 10});
  session.Camera().ArmStreamFault(StreamFault{StreamFaultKind::TransferError, 11});
  session.Kernel().advance(1500ms);
  EXPECT_EQ(session.Camera().Log().CountEvents(torvex::sim::CameraEvent::TransferFailed), 2u);
  if (GetParam().usbLockBusy) {
    EXPECT_EQ(adapter->ResetCount, 0) << "one reset waits for UsbLock";
    EXPECT_EQ(session.Resets(), 0u);
    session.Kernel().runAtPassive([adapter] { UsbLockRelease(adapter); });
    session.Kernel().advance(1s);
  }
  EXPECT_EQ(session.Resets(), 1u);
  EXPECT_EQ(CountLog(session, "ABORT_PIPE"), 1u);
  EXPECT_EQ(adapter->ResetCount, -1);
  // Frames after the restart are whole pictures.
  const auto after = session.Capture(6, 5s);
  EXPECT_GE(Successful(after), 3u);
  ExpectWholePictures(after, before[0].data);
  EXPECT_EQ(session.Resets(), 1u) << "no further reset once frames flow";
  ExpectClean(session);
}

INSTANTIATE_TEST_SUITE_P(Errors, TwoBusErrorsInARow,
                         ::testing::Values(BackToBackCase{"ResetStartsAtOnce", false},
                                           BackToBackCase{"ResetWaitsForUsbLock", true}),
                         [](const auto& info) { return std::string(info.param.name); });

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
  const StreamFaultKind recoverable[] = {StreamFaultKind::PacketError, StreamFaultKind::TransferError,
                                         StreamFaultKind::ShortPacket,
                                         StreamFaultKind::Stall, StreamFaultKind::DisablePort,
                                         StreamFaultKind::OversizeFrame, StreamFaultKind::ButtonPress};
  for (int step = 0; step < 120; ++step) {
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
      session.Kernel().advance(std::chrono::milliseconds(random() % 500));
      ASSERT_EQ(session.Host().pendingRequests(), 0u) << "a transfer was sent after the stop";
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
  EXPECT_GT(session.Kernel().now(), 180LL * 10000000) << "at least three minutes of virtual time";
  ExpectClean(session);
}

}  // namespace
