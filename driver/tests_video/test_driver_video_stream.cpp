// Live video end to end, in virtual time: the simulated camera streams through
// the simulated host controller into the driver, and a capture application
// (CaptureSession) receives decoded frames through the streaming class.
#include <gtest/gtest.h>

#include <algorithm>

#include "isostream.h"
#include "tools/capture_session.h"
#include "tools/frame_tools.h"
#include "tools/imageio.h"

namespace {

using namespace std::chrono_literals;
using torvex::tools::CaptureOptions;
using torvex::tools::CaptureSession;
using torvex::tools::CapturedFrame;
using Bytes = std::vector<uint8_t>;

std::vector<torvex::sim::RgbPicture> Photos() {
  std::vector<torvex::sim::RgbPicture> photos;
  for (const char* name : {"astronaut.png", "chelsea.png", "coffee.png"})
    photos.push_back(torvex::tools::DecodeImage(torvex::tools::ReadAll(std::string(TORVEX_PHOTOS_DIR) + "/" + name)));
  return photos;
}

const std::vector<torvex::sim::RgbPicture>& SharedPhotos() {
  static const auto photos = Photos();
  return photos;
}

CaptureOptions Options(int width, int height, bool iyuv = false) {
  CaptureOptions options;
  options.width = width;
  options.height = height;
  options.iyuv = iyuv;
  options.pictures = SharedPhotos();
  options.quality = 2000;
  return options;
}

StreamExtension* StreamOf(CaptureSession& session) {
  return static_cast<StreamExtension*>(session.Stream().extension());
}

void ExpectClean(CaptureSession& session) {
  EXPECT_EQ(session.Shutdown().liveCount, 0u) << session.Kernel().leakReport();
  EXPECT_TRUE(session.Violations().empty()) << session.Violations().front();
}

struct DecodeCase {
  int width, height;
  bool iyuv;
  bool mirror;
  int rotation;
};

class DeliveredFrames : public ::testing::TestWithParam<DecodeCase> {};

// Every delivered frame is exactly what the decoder makes of a frame the camera
// sent, in the order sent.
TEST_P(DeliveredFrames, AreBitExactDecodesOfTheFramesSent) {
  const DecodeCase c = GetParam();
  CaptureOptions options = Options(c.width, c.height, c.iyuv);
  options.mirror = c.mirror;
  options.rotation = c.rotation;
  CaptureSession session(options);
  ASSERT_EQ(session.SetState(KSSTATE_RUN), STATUS_SUCCESS);
  const auto frames = session.Capture(4, 5s);
  ASSERT_EQ(frames.size(), 4u);

  torvex::tools::FrameDecodeOptions decode;
  decode.outWidth = c.width;
  decode.outHeight = c.height;
  decode.qualityLevel = 2;
  decode.flip = c.mirror;
  decode.rotation = c.rotation / 90;
  decode.format = c.iyuv ? torvex::tools::FrameFormat::Iyuv : torvex::tools::FrameFormat::Rgb24;
  const auto sent = session.Camera().Log().Frames();
  size_t next = 0;
  for (const CapturedFrame& frame : frames) {
    ASSERT_EQ(frame.status, STATUS_SUCCESS);
    ASSERT_EQ(frame.data.size(), session.FrameBytes());
    while (next < sent.size() && torvex::tools::DecodeFrame(sent[next].bytes, decode).bytes != frame.data) ++next;
    ASSERT_LT(next, sent.size()) << "a delivered frame matches no frame sent after the previous one";
    ++next;
  }
  ExpectClean(session);
}

INSTANTIATE_TEST_SUITE_P(
    SizesAndSettings, DeliveredFrames,
    ::testing::Values(DecodeCase{320, 240, false, true, 0}, DecodeCase{320, 240, false, false, 90},
                      DecodeCase{640, 480, false, false, 180}, DecodeCase{352, 288, false, true, 270},
                      DecodeCase{176, 144, false, true, 0}, DecodeCase{160, 120, false, false, 0},
                      DecodeCase{288, 208, false, true, 0}, DecodeCase{320, 240, true, false, 0},
                      DecodeCase{640, 480, true, true, 0}));

// A camera that refuses the compression level keeps its own, and the decoder
// keeps the level of a zero-filled context (0) instead of the requested one.
TEST(DeliveredFramesWhenRefused, DecodeAtLevelZero) {
  CaptureOptions options = Options(320, 240);
  options.quality = 5000;
  CaptureSession session(options);
  torvex::sim::ControlFault refuse;
  refuse.kind = torvex::sim::ControlFaultKind::Refused;
  refuse.bRequest = VENDOR_SET_COMPRESSION;
  session.Camera().ArmControlFault(refuse);
  ASSERT_EQ(session.SetState(KSSTATE_RUN), STATUS_SUCCESS);
  const auto frames = session.Capture(2, 5s);
  ASSERT_EQ(frames.size(), 2u);
  torvex::tools::FrameDecodeOptions decode;
  decode.qualityLevel = 0;
  decode.flip = true;  // the driver's default mode mirrors
  bool matched = false;
  for (const auto& sent : session.Camera().Log().Frames())
    matched = matched || torvex::tools::DecodeFrame(sent.bytes, decode).bytes == frames[1].data;
  EXPECT_TRUE(matched);
  ExpectClean(session);
}

TEST(Stamps, WithoutAMasterClockEveryFrameIsPictureOne) {
  CaptureOptions options = Options(320, 240);
  options.masterClock = false;
  CaptureSession session(options);
  ASSERT_EQ(session.SetState(KSSTATE_RUN), STATUS_SUCCESS);
  for (const CapturedFrame& frame : session.Capture(3, 5s)) {
    EXPECT_EQ(frame.presentationTime, 0);
    EXPECT_EQ(frame.optionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID, 0u);
    EXPECT_EQ(frame.pictureNumber, 1);
    EXPECT_EQ(frame.dropCount, 0);
  }
  ExpectClean(session);
}

struct ClockCase {
  double framesPerSecond;
  LONGLONG frameInterval;
  LONGLONG lowestFourth, highestFourth;  // picture number of the fourth frame
};

class StampsWithClock : public ::testing::TestWithParam<ClockCase> {};

// The first frame fixes the start time; picture numbers follow the stream time
// in format intervals, and pictures without a frame count as dropped.
TEST_P(StampsWithClock, PicturesFollowStreamTime) {
  const ClockCase c = GetParam();
  CaptureOptions options = Options(320, 240);
  options.framesPerSecond = c.framesPerSecond;
  options.frameInterval = c.frameInterval;
  CaptureSession session(options);
  ASSERT_EQ(session.SetState(KSSTATE_RUN), STATUS_SUCCESS);
  const auto frames = session.Capture(4, 5s);
  ASSERT_EQ(frames.size(), 4u);
  LONGLONG previousTime = 0, previousPicture = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    const CapturedFrame& frame = frames[i];
    EXPECT_NE(frame.optionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID, 0u);
    EXPECT_GT(frame.presentationTime, previousTime);
    EXPECT_GT(frame.pictureNumber, previousPicture);
    EXPECT_EQ(frame.dropCount, frame.pictureNumber - static_cast<LONGLONG>(i + 1));
    previousTime = frame.presentationTime;
    previousPicture = frame.pictureNumber;
  }
  EXPECT_EQ(frames[0].pictureNumber, 1);
  EXPECT_GE(frames[3].pictureNumber, c.lowestFourth);
  EXPECT_LE(frames[3].pictureNumber, c.highestFourth);
  ExpectClean(session);
}

// A camera at the format's rate drops nothing (give or take the transfer that
// completes a frame); one at half of it drops every other picture.
INSTANTIATE_TEST_SUITE_P(Rates, StampsWithClock,
                         ::testing::Values(ClockCase{6, 1666667, 3, 5}, ClockCase{15, 333333, 6, 8}));

TEST(Stamps, AFrameThatWaitedWithoutAReadMarksADiscontinuity) {
  CaptureOptions options = Options(320, 240);
  options.readsQueued = 1;
  CaptureSession session(options);
  ASSERT_EQ(session.SetState(KSSTATE_RUN), STATUS_SUCCESS);
  const auto first = session.Capture(1, 5s);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].optionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY, 0u);
  session.Kernel().advance(500ms);  // frames complete with no read queued
  const auto later = session.Capture(1, 5s);
  ASSERT_EQ(later.size(), 1u);
  EXPECT_NE(later[0].optionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY, 0u);
  ExpectClean(session);
}

TEST(Button, APressIsPublishedOnceInTriggerEvent) {
  CaptureSession session(Options(320, 240));
  auto trigger = [&] {
    return session.Kernel().registry().getDword(TORVEX_TRIGGER_KEY, TORVEX_TRIGGER_EVENT_VALUE);
  };
  ASSERT_EQ(session.SetState(KSSTATE_RUN), STATUS_SUCCESS);
  session.Capture(3, 5s);
  EXPECT_EQ(trigger(), 0u);
  session.Camera().PressButton();
  session.Capture(12, 5s);  // more than a second of frames
  EXPECT_EQ(trigger(), 1u);
  const size_t asked = session.Camera().Log().Requests(VENDOR_GET_KEY).size();
  session.Capture(12, 5s);
  EXPECT_EQ(session.Camera().Log().Requests(VENDOR_GET_KEY).size(), asked) << "polled while TriggerEvent is 1";
  // Another program clears it: the driver polls again.
  session.Kernel().registry().setDword(TORVEX_TRIGGER_KEY, TORVEX_TRIGGER_EVENT_VALUE, 0);
  session.Capture(12, 5s);
  EXPECT_GT(session.Camera().Log().Requests(VENDOR_GET_KEY).size(), asked);
  ExpectClean(session);
}

TEST(Stop, WithTransfersPendingFreesEverythingWithinOneWatchdogPeriod) {
  CaptureSession session(Options(320, 240));
  ASSERT_EQ(session.SetState(KSSTATE_RUN), STATUS_SUCCESS);
  session.Capture(2, 5s);
  ASSERT_GT(session.Host().pendingRequests(), 0u);
  const auto before = session.Kernel().now();
  const auto cancelled = session.Stop();
  EXPECT_LE(session.Kernel().now() - before, 2500000);
  for (const CapturedFrame& frame : cancelled) {
    EXPECT_EQ(frame.status, STATUS_CANCELLED);
    EXPECT_TRUE(frame.data.empty());
  }
  EXPECT_EQ(session.Host().pendingRequests(), 0u);
  // Streaming again after the stop works, and a second stop is harmless.
  ASSERT_EQ(session.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  ASSERT_EQ(session.SetState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(session.Capture(2, 5s).size(), 2u);
  ExpectClean(session);
}

TEST(Start, APipeWithoutPacketsFailsTheStartAndLeavesNothing) {
  CaptureOptions options = Options(320, 240);
  options.camera.descriptors.packetSizes = {0};  // only the setting without bandwidth
  CaptureSession session(options);
  EXPECT_FALSE(NT_SUCCESS(session.SetState(KSSTATE_RUN)));
  EXPECT_EQ(session.Host().pendingRequests(), 0u);
  ExpectClean(session);
}

// A start that runs out of memory at any point is undone completely: nothing
// stays in flight or allocated, and the next start works.
TEST(Start, OutOfMemoryAtAnyPointIsUndoneCompletely) {
  struct Case {
    const char* what;
    size_t bytes;  // size of the allocation that fails
    int nth;       // which allocation of that size (from 1)
  };
  const Case cases[] = {{"first frame buffer", FRAME_BUFFER_SIZE, 1},
                        {"second frame buffer", FRAME_BUFFER_SIZE, 2},
                        {"decoder context", sizeof(DcmpContext), 1},
                        {"first transfer", sizeof(IsoTransfer), 1},
                        {"second transfer", sizeof(IsoTransfer), 2},
                        {"second transfer's buffer", 7 * 1023, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CaptureSession session(Options(320, 240));
    const auto before = session.Kernel().poolStats(ISOUSB_POOL_TAG).liveCount;
    int seen = 0;
    session.Kernel().setAllocationFailure([&](POOL_TYPE, SIZE_T bytes, ULONG tag) {
      return tag == ISOUSB_POOL_TAG && bytes == c.bytes && ++seen == c.nth;
    });
    EXPECT_FALSE(NT_SUCCESS(session.SetState(KSSTATE_RUN)));
    session.Kernel().setAllocationFailure({});
    session.Kernel().runUntilIdle();
    EXPECT_EQ(session.Host().pendingRequests(), 0u);
    EXPECT_EQ(session.Kernel().poolStats(ISOUSB_POOL_TAG).liveCount, before);
    EXPECT_EQ(StreamOf(session)->Streaming, 0);
    // The application tries again: a stop, then run.
    ASSERT_EQ(session.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    ASSERT_EQ(session.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(session.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(session.Capture(2, 5s).size(), 2u);
    ExpectClean(session);
  }
}

}  // namespace
