// The video stream seen by a capture application: open and close, formats
// and their intersection, reads in every state, state changes, the read
// time-out, and the stream's own properties.
#include <algorithm>
#include <cstring>

#include "driver_fixture.h"

namespace torvex::driver_test {
namespace {

StreamExtension* ExtensionOf(Stream& stream) { return static_cast<StreamExtension*>(stream.extension()); }

TEST_F(DriverTest, StreamOpensOnceAndReopensAfterClose) {
  OpenStream();
  EXPECT_EQ(Adapter()->OpenInstances[0], 1u);
  EXPECT_EQ(Adapter()->OpenStreams[0], ExtensionOf(*stream));
  EXPECT_EQ(Camera().AlternateSetting(), 7);
  auto format = RgbFormat();
  NTSTATUS status = STATUS_SUCCESS;
  EXPECT_EQ(device->openStream(0, &format.DataFormat, &status), nullptr);
  EXPECT_EQ(status, STATUS_INVALID_PARAMETER);

  EXPECT_EQ(stream->close(), STATUS_SUCCESS);
  stream.reset();
  EXPECT_EQ(Adapter()->OpenInstances[0], 0u);
  EXPECT_EQ(Adapter()->OpenStreams[0], nullptr);
  stream = device->openStream(0, &format.DataFormat, &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(Camera().AlternateSetting(), 7);
}

// --- formats -------------------------------------------------------------------

struct FormatCase {
  const char* name;
  const KS_DATARANGE_VIDEO* range;
  LONG width, height;
  bool accepted;
  void (*tweak)(KS_DATAFORMAT_VIDEOINFOHEADER&) = nullptr;
};

class FormatTest : public DriverTest, public ::testing::WithParamInterface<FormatCase> {
 protected:
  KS_DATAFORMAT_VIDEOINFOHEADER Format() {
    auto format = MakeFormat(*GetParam().range, GetParam().width, GetParam().height);
    if (GetParam().tweak) GetParam().tweak(format);
    return format;
  }
};

TEST_P(FormatTest, IsAcceptedOnlyWhenTheStreamCanDeliverIt) {
  const FormatCase& c = GetParam();
  auto format = Format();
  OpenStream();
  EXPECT_EQ(stream->proposeFormat(&format.DataFormat).status, c.accepted ? STATUS_SUCCESS : STATUS_NO_MATCH);
  EXPECT_EQ(stream->setFormat(&format.DataFormat).status, c.accepted ? STATUS_SUCCESS : STATUS_NO_MATCH);
  KSPROPERTY framingRequest{KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING, 0};
  KSALLOCATOR_FRAMING framing{};
  ASSERT_EQ(stream->getProperty(&framingRequest, sizeof(framingRequest), &framing, sizeof(framing)).status,
            STATUS_SUCCESS);
  // The frame size is the picture's, whatever the application put into biSizeImage.
  const ULONG bits = c.range->VideoInfoHeader.bmiHeader.biBitCount;
  EXPECT_EQ(framing.FrameSize, c.accepted ? static_cast<ULONG>(c.width * c.height) * bits / 8 : 230400u);
  stream.reset();

  NTSTATUS status = STATUS_UNSUCCESSFUL;
  stream = device->openStream(0, &format.DataFormat, &status);
  EXPECT_EQ(status, c.accepted ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
}

const KS_DATARANGE_VIDEO* const kRgb = &StreamFormatRGB24Bpp_Capture;
const KS_DATARANGE_VIDEO* const kIyuv = &StreamFormatUYU2_Capture;

INSTANTIATE_TEST_SUITE_P(
    Formats, FormatTest,
    ::testing::Values(
        FormatCase{"Rgb320x240", kRgb, 320, 240, true},
        FormatCase{"Rgb176x144", kRgb, 176, 144, true},
        FormatCase{"Rgb160x120", kRgb, 160, 120, true},
        FormatCase{"Rgb352x288", kRgb, 352, 288, true},
        FormatCase{"Rgb640x480", kRgb, 640, 480, true},
        FormatCase{"RgbSizeImageWrong", kRgb, 320, 240, true,
                   [](KS_DATAFORMAT_VIDEOINFOHEADER& f) { f.VideoInfoHeader.bmiHeader.biSizeImage = 100; }},
        FormatCase{"RgbOffTheSizeSteps", kRgb, 330, 240, false},
        FormatCase{"RgbTallerThanTheCodedPicture", kRgb, 320, 480, false},
        FormatCase{"RgbTopDown", kRgb, 320, -240, false},
        FormatCase{"RgbBeyondTheRange", kRgb, 800, 592, false},
        FormatCase{"RgbWrongBitCount", kRgb, 320, 240, false,
                   [](KS_DATAFORMAT_VIDEOINFOHEADER& f) { f.VideoInfoHeader.bmiHeader.biBitCount = 16; }},
        FormatCase{"RgbShortBitmapHeader", kRgb, 320, 240, false,
                   [](KS_DATAFORMAT_VIDEOINFOHEADER& f) { f.VideoInfoHeader.bmiHeader.biSize = 20; }},
        FormatCase{"RgbHeaderBeyondTheFormat", kRgb, 320, 240, false,
                   [](KS_DATAFORMAT_VIDEOINFOHEADER& f) { f.VideoInfoHeader.bmiHeader.biSize = 400; }},
        FormatCase{"OtherSubtype", kRgb, 320, 240, false,
                   [](KS_DATAFORMAT_VIDEOINFOHEADER& f) { f.DataFormat.SubFormat.Data1 ^= 1; }},
        FormatCase{"Iyuv320x240", kIyuv, 320, 240, true},
        FormatCase{"Iyuv640x480", kIyuv, 640, 480, true},
        FormatCase{"IyuvCutPicture", kIyuv, 640, 240, false},
        FormatCase{"Iyuv176x144", kIyuv, 176, 144, false}),
    [](const auto& info) { return std::string(info.param.name); });

struct IntersectionCase {
  const char* name;
  const KS_DATARANGE_VIDEO* range;
  LONG width, height;
  ULONG streamNumber;
  ULONG outSize;
  NTSTATUS status;
  ULONG imageSize;  // 0: no format written
  void (*tweak)(KS_DATARANGE_VIDEO&) = nullptr;
};

class IntersectionTest : public DriverTest, public ::testing::WithParamInterface<IntersectionCase> {};

TEST_P(IntersectionTest, BuildsTheFormatFromTheCallersRange) {
  const IntersectionCase& c = GetParam();
  Start();
  KS_DATARANGE_VIDEO range = *c.range;
  range.VideoInfoHeader.bmiHeader.biWidth = c.width;
  range.VideoInfoHeader.bmiHeader.biHeight = c.height;
  if (c.tweak) c.tweak(range);
  KS_DATAFORMAT_VIDEOINFOHEADER out{};
  Result result = device->dataIntersection(c.streamNumber, &range.DataRange, &out, c.outSize);
  EXPECT_EQ(result.status, c.status);
  if (c.status != STATUS_SUCCESS) return;
  if (c.outSize == sizeof(ULONG)) {
    ULONG size;
    std::memcpy(&size, &out, sizeof(size));
    EXPECT_EQ(size, sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
    EXPECT_EQ(result.bytes, sizeof(ULONG));
    return;
  }
  EXPECT_EQ(result.bytes, sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
  EXPECT_EQ(out.DataFormat.FormatSize, sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
  EXPECT_EQ(out.DataFormat.SubFormat, c.range->DataRange.SubFormat);
  EXPECT_EQ(out.VideoInfoHeader.bmiHeader.biWidth, c.width);
  EXPECT_EQ(out.VideoInfoHeader.bmiHeader.biSizeImage, c.imageSize);
  EXPECT_EQ(out.DataFormat.SampleSize, c.imageSize);
  EXPECT_EQ(AdapterVerifyFormat(&out.DataFormat, 0), 1u);
}

constexpr ULONG kFull = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER);

INSTANTIATE_TEST_SUITE_P(
    Ranges, IntersectionTest,
    ::testing::Values(
        IntersectionCase{"SizeQuery", kRgb, 320, 240, 0, sizeof(ULONG), STATUS_SUCCESS, 0},
        IntersectionCase{"Rgb176x144", kRgb, 176, 144, 0, kFull, STATUS_SUCCESS, 76032},
        IntersectionCase{"Iyuv640x480", kIyuv, 640, 480, 0, kFull, STATUS_SUCCESS, 460800},
        IntersectionCase{"CapabilitiesDifferByAByte", kRgb, 320, 240, 0, kFull, STATUS_NO_MATCH, 0,
                         [](KS_DATARANGE_VIDEO& r) { reinterpret_cast<UCHAR*>(&r.ConfigCaps)[100] ^= 1; }},
        IntersectionCase{"OtherFormatSize", kRgb, 320, 240, 0, kFull, STATUS_NO_MATCH, 0,
                         [](KS_DATARANGE_VIDEO& r) { r.DataRange.FormatSize -= 8; }},
        IntersectionCase{"TopDown", kRgb, 176, -144, 0, kFull, STATUS_NO_MATCH, 0},
        IntersectionCase{"SizeTheDecoderCannotMake", kRgb, 320, 480, 0, kFull, STATUS_NO_MATCH, 0},
        IntersectionCase{"BufferTooSmall", kRgb, 320, 240, 0, kFull - 1, STATUS_BUFFER_TOO_SMALL, 0},
        IntersectionCase{"OtherStream", kRgb, 320, 240, 1, kFull, STATUS_NOT_IMPLEMENTED, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// --- states and reads --------------------------------------------------------

constexpr ULONG kRgbImage = 320 * 240 * 3;

struct StateCase {
  const char* name;
  std::vector<KSSTATE> path;
  NTSTATUS getState;
  bool readsWait;
  bool videoOn;
};

class StateTest : public DriverTest, public ::testing::WithParamInterface<StateCase> {};

TEST_P(StateTest, ReadsWaitUntilStopCancelsThemInOrder) {
  const StateCase& c = GetParam();
  OpenStream();
  for (KSSTATE state : c.path) ASSERT_EQ(stream->setState(state).status, STATUS_SUCCESS);
  KSSTATE state = KSSTATE_STOP;
  EXPECT_EQ(stream->getState(&state).status, c.getState);
  EXPECT_EQ(state, c.path.back());
  EXPECT_EQ(Camera().Settings().videoOn, c.videoOn);

  std::vector<Request> reads;
  for (int i = 0; i < 3; ++i) reads.push_back(stream->read(kRgbImage));
  for (Request& read : reads) EXPECT_EQ(read.done(), !c.readsWait);
  EXPECT_EQ(Adapter()->DataQueueCount[0], c.readsWait ? 3u : 0u);

  ASSERT_EQ(stream->setState(KSSTATE_STOP).status, STATUS_SUCCESS);
  for (Request& read : reads) {
    ASSERT_TRUE(read.done());
    EXPECT_EQ(read.status(), c.readsWait ? STATUS_CANCELLED : STATUS_SUCCESS);
    EXPECT_EQ(read.header().DataUsed, 0u);
  }
  // Waiting reads are cancelled oldest first.
  EXPECT_LT(reads[0].completionOrder(), reads[1].completionOrder());
  EXPECT_LT(reads[1].completionOrder(), reads[2].completionOrder());
  EXPECT_EQ(Adapter()->DataQueueCount[0], 0u);
  EXPECT_FALSE(Camera().Settings().videoOn);
  EXPECT_TRUE(stream->read(kRgbImage).done());  // stopped: a new read completes at once
}

INSTANTIATE_TEST_SUITE_P(
    Paths, StateTest,
    ::testing::Values(StateCase{"Stop", {KSSTATE_STOP}, STATUS_SUCCESS, false, false},
                      StateCase{"Acquire", {KSSTATE_ACQUIRE}, STATUS_SUCCESS, true, false},
                      StateCase{"Pause", {KSSTATE_ACQUIRE, KSSTATE_PAUSE}, STATUS_NO_DATA_DETECTED, true, false},
                      StateCase{"Run", {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}, STATUS_SUCCESS, true, true},
                      StateCase{"RunThenPause", {KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_PAUSE}, STATUS_NO_DATA_DETECTED,
                                true, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DriverTest, ReadsThatCannotBeServedCompleteAtOnce) {
  OpenStream();
  ASSERT_EQ(stream->setState(KSSTATE_PAUSE).status, STATUS_SUCCESS);
  Request small = stream->read(kRgbImage - 1);
  ASSERT_TRUE(small.done());
  EXPECT_EQ(small.status(), STATUS_BUFFER_TOO_SMALL);

  kernel.setAllocationFailure([](POOL_TYPE, SIZE_T size, ULONG tag) {
    return tag == ISOUSB_POOL_TAG && size == FRAME_BUFFER_SIZE;
  });
  Request noBuffer = stream->read(kRgbImage);
  ASSERT_TRUE(noBuffer.done());
  EXPECT_EQ(noBuffer.status(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Adapter()->DataQueueCount[0], 0u);
}

TEST_F(DriverTest, CancelTakesOneQueuedRead) {
  OpenStream();
  ASSERT_EQ(stream->setState(KSSTATE_PAUSE).status, STATUS_SUCCESS);
  Request first = stream->read(kRgbImage);
  Request second = stream->read(kRgbImage);
  EXPECT_TRUE(second.cancel());
  ASSERT_TRUE(second.done());
  EXPECT_EQ(second.status(), STATUS_CANCELLED);
  EXPECT_FALSE(first.done());
  EXPECT_EQ(Adapter()->DataQueueCount[0], 1u);
  EXPECT_FALSE(second.cancel());  // no longer pending
  EXPECT_EQ(stream->close(), STATUS_SUCCESS);
  EXPECT_EQ(first.status(), STATUS_CANCELLED);
}

// A read that waits 3 s turns the stream to stop and asks for one reset of
// the stream. The read itself stays pending with a fresh time-out, unless the
// reset of a running stream flushes it with the other waiting reads.
struct TimeOutCase {
  const char* name;
  std::vector<KSSTATE> path;
  bool flushedByReset;
};

class ReadTimeOutTest : public DriverTest, public ::testing::WithParamInterface<TimeOutCase> {};

TEST_P(ReadTimeOutTest, StopsTheStreamAndRequestsOneReset) {
  OpenStream();
  for (KSSTATE state : GetParam().path) ASSERT_EQ(stream->setState(state).status, STATUS_SUCCESS);
  Request read = stream->read(kRgbImage);
  EXPECT_EQ(read.srb()->TimeoutOriginal, READ_TIMEOUT_SECONDS);
  kernel.advance(std::chrono::milliseconds(2999));
  EXPECT_FALSE(read.done());
  kernel.advance(std::chrono::milliseconds(1));
  kernel.runUntilIdle();
  KSSTATE state = KSSTATE_RUN;
  EXPECT_EQ(stream->getState(&state).status, STATUS_SUCCESS);
  EXPECT_EQ(state, KSSTATE_STOP);
  auto log = host_.log();
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& line) { return line.find("GET_PORT_STATUS") != std::string::npos; }),
            1)
      << ::testing::PrintToString(log);
  EXPECT_EQ(ReadShared(&Adapter()->ResetCount), -1);  // the reset has ended
  ASSERT_EQ(read.done(), GetParam().flushedByReset);
  if (!read.done()) {
    EXPECT_EQ(read.srb()->TimeoutCounter, READ_TIMEOUT_SECONDS);
  }
  EXPECT_TRUE(stream->read(kRgbImage).done());  // stopped: new reads complete at once
  EXPECT_EQ(stream->close(), STATUS_SUCCESS);
  EXPECT_EQ(read.status(), STATUS_CANCELLED);
}

INSTANTIATE_TEST_SUITE_P(States, ReadTimeOutTest,
                         ::testing::Values(TimeOutCase{"Pause", {KSSTATE_PAUSE}, false},
                                           TimeOutCase{"Run", {KSSTATE_PAUSE, KSSTATE_RUN}, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- stream properties -----------------------------------------------------------

Result GetFraming(Stream& stream, KSALLOCATOR_FRAMING& framing) {
  KSPROPERTY request{KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING, 0};
  return stream.getProperty(&request, sizeof(request), &framing, sizeof(framing));
}

Result GetDropped(Stream& stream, KSPROPERTY_DROPPEDFRAMES_CURRENT_S& dropped) {
  dropped.Property = {PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT, 0};
  return stream.getProperty(dropped);
}

TEST_F(DriverTest, StreamPropertiesFollowTheStoredFormat) {
  OpenStream();
  KSALLOCATOR_FRAMING framing{};
  Result result = GetFraming(*stream, framing);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.bytes, sizeof(KSALLOCATOR_FRAMING));
  EXPECT_EQ(framing.RequirementsFlags, 0x80000003u);
  EXPECT_EQ(framing.PoolType, PagedPool);
  EXPECT_EQ(framing.Frames, 1u);
  EXPECT_EQ(framing.FrameSize, kRgbImage);
  KSPROPERTY_DROPPEDFRAMES_CURRENT_S dropped{};
  result = GetDropped(*stream, dropped);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.bytes, sizeof(dropped));
  EXPECT_EQ(dropped.AverageFrameSize, kRgbImage);
  EXPECT_EQ(dropped.PictureNumber, 0);

  platform::ks::MasterClock clock(streamClass);
  EXPECT_EQ(stream->setMasterClock(&clock).status, STATUS_SUCCESS);
  EXPECT_EQ(ExtensionOf(*stream)->MasterClock, clock.handle());
  EXPECT_EQ(stream->setMasterClock(nullptr).status, STATUS_SUCCESS);
}

TEST_F(DriverTest, StreamWithoutAStoredFormatFailsCleanly) {
  OpenStream();
  ASSERT_EQ(stream->setState(KSSTATE_PAUSE).status, STATUS_SUCCESS);
  auto format = RgbFormat(176, 144);
  FailDriverAllocationsAfter(0);
  EXPECT_EQ(stream->setFormat(&format.DataFormat).status, STATUS_INSUFFICIENT_RESOURCES);
  kernel.setAllocationFailure({});
  KSALLOCATOR_FRAMING framing{};
  EXPECT_EQ(GetFraming(*stream, framing).status, STATUS_INVALID_PARAMETER);
  KSPROPERTY_DROPPEDFRAMES_CURRENT_S dropped{};
  EXPECT_EQ(GetDropped(*stream, dropped).status, STATUS_INVALID_PARAMETER);
  Request read = stream->read(kRgbImage);
  ASSERT_TRUE(read.done());
  EXPECT_EQ(read.status(), STATUS_INVALID_DEVICE_STATE);

  EXPECT_EQ(stream->setFormat(&format.DataFormat).status, STATUS_SUCCESS);
  EXPECT_EQ(GetFraming(*stream, framing).status, STATUS_SUCCESS);
  EXPECT_EQ(framing.FrameSize, 176u * 144 * 3);
}

}  // namespace
}  // namespace torvex::driver_test
