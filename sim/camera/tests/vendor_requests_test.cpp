#include <gtest/gtest.h>

#include <functional>
#include <ostream>

#include "sim/camera/sim_camera.h"

namespace torvex::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

SetupPacket Request(std::uint8_t bRequest, std::uint16_t wValue, std::uint16_t wIndex,
                    std::uint16_t wLength = 6) {
  return {kVendorDeviceIn, bRequest, wValue, wIndex, wLength};
}

struct ReplyCase {
  const char* name;
  SetupPacket setup;
  ControlOutcome outcome;
  Bytes reply;
  std::function<void(CameraSettings&)> change;  // expected change of the camera's settings
};
void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

void NoChange(CameraSettings&) {}

class VendorReplies : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(VendorReplies, AnswerFromTheCameraState) {
  const ReplyCase& c = GetParam();
  SimCamera camera;
  CameraSettings expected = camera.Settings();
  c.change(expected);

  const ControlAnswer answer = camera.Control(c.setup, 0);
  EXPECT_EQ(answer.outcome, c.outcome);
  EXPECT_EQ(answer.data, c.reply);
  EXPECT_EQ(camera.Settings(), expected);
}

const ReplyCase kReplyCases[] = {
    {"BrightnessReadDefault", Request(0x16, 0, 0), ControlOutcome::Data, {0, 0, 0, 0, 0, 0}, NoChange},
    {"BrightnessWriteNegative", Request(0x16, 1, 0xFFFB), ControlOutcome::Data, {0, 0xFB, 1, 0, 0, 0},
     [](CameraSettings& s) { s.brightness = -5; }},
    {"BrightnessClampedLow", Request(0x16, 1, 0xFF38), ControlOutcome::Data, {0, 0x80, 1, 0, 0, 0},
     [](CameraSettings& s) { s.brightness = -128; }},
    {"BrightnessClampedHigh", Request(0x16, 1, 300), ControlOutcome::Data, {0, 127, 0, 0, 0, 0},
     [](CameraSettings& s) { s.brightness = 127; }},
    {"ContrastClamped", Request(0x17, 1, 300), ControlOutcome::Data, {0, 255, 0, 0, 0, 0},
     [](CameraSettings& s) { s.contrast = 255; }},
    {"SaturationSentAsZero", Request(0x18, 1, 0), ControlOutcome::Data, {0, 0, 0, 0, 0, 0}, NoChange},
    {"SaturationWrite", Request(0x18, 1, 100), ControlOutcome::Data, {0, 100, 0, 0, 0, 0},
     [](CameraSettings& s) { s.saturation = 100; }},
    {"SharpnessRead", Request(0x19, 0, 0), ControlOutcome::Data, {0, 16, 0, 0, 0, 0}, NoChange},
    {"GammaClamped", Request(0x1B, 1, 20), ControlOutcome::Data, {0, 15, 0, 0, 0, 0},
     [](CameraSettings& s) { s.gamma = 15; }},
    {"BacklightWrite", Request(0x1C, 1, 1), ControlOutcome::Data, {0, 1, 0, 0, 0, 0},
     [](CameraSettings& s) { s.backlightCompensation = 1; }},
    {"ValueControlHasNoMode", Request(0x17, 2, 0), ControlOutcome::Data, {2, 64, 0, 0, 0, 0}, NoChange},
    {"UnknownSubCommand", Request(0x16, 7, 0), ControlOutcome::Data, {2, 0, 0, 0, 0, 0}, NoChange},
    {"WhiteBalanceReadLevel", Request(0x1A, 0, 0), ControlOutcome::Data, {0, 14, 18, 0, 0, 0}, NoChange},
    {"WhiteBalanceWriteLevel", Request(0x1A, 1, 0x160A), ControlOutcome::Data, {0, 10, 22, 0, 0, 0},
     [](CameraSettings& s) { s.whiteBalance = 10; }},
    {"WhiteBalanceLevelHalvesDisagree", Request(0x1A, 1, 0x0A0A), ControlOutcome::Data,
     {2, 14, 18, 0, 0, 0}, NoChange},
    {"WhiteBalanceLevelOutOfRange", Request(0x1A, 1, 0x2000), ControlOutcome::Data, {2, 14, 18, 0, 0, 0},
     NoChange},
    {"WhiteBalanceReadMode", Request(0x1A, 2, 0), ControlOutcome::Data, {0, 1, 18, 0, 0, 0}, NoChange},
    {"WhiteBalanceWriteMode", Request(0x1A, 3, 2), ControlOutcome::Data, {0, 2, 18, 0, 0, 0},
     [](CameraSettings& s) { s.whiteBalanceMode = 2; }},
    {"WhiteBalanceBadMode", Request(0x1A, 3, 3), ControlOutcome::Data, {2, 1, 18, 0, 0, 0}, NoChange},
    {"ExposureWriteMode", Request(0x1D, 3, 2), ControlOutcome::Data, {0, 2, 0, 0, 0, 0},
     [](CameraSettings& s) { s.exposureMode = 2; }},
    {"ExposureHasNoValue", Request(0x1D, 1, 1), ControlOutcome::Data, {2, 1, 0, 0, 0, 0}, NoChange},
    {"CodedSize640", Request(0x0F, 640, 480), ControlOutcome::Data, {0, 40, 30, 0, 0, 0},
     [](CameraSettings& s) { s.codedSize = {640, 480}; }},
    {"CodedSizeUnknown", Request(0x0F, 100, 100), ControlOutcome::Data, {2, 20, 15, 0, 0, 0}, NoChange},
    {"CompressionLevel", Request(0x10, 3, 0), ControlOutcome::Data, {0, 3, 0, 0, 0, 0},
     [](CameraSettings& s) { s.compressionLevel = 3; }},
    {"CompressionLevelCapped", Request(0x10, 9, 0), ControlOutcome::Data, {0, 7, 0, 0, 0, 0},
     [](CameraSettings& s) { s.compressionLevel = 7; }},
    {"ReadCompression", Request(0x12, 0, 0, 1), ControlOutcome::Data, {2}, NoChange},
    {"VideoOn", Request(0x13, 1, 0), ControlOutcome::Data, {0, 1, 0, 0, 0, 0},
     [](CameraSettings& s) { s.videoOn = true; }},
    {"VideoBadValue", Request(0x13, 2, 0), ControlOutcome::Data, {2, 0, 0, 0, 0, 0}, NoChange},
    {"ButtonNotPressed", Request(0x15, 0, 0, 1), ControlOutcome::Data, {0}, NoChange},
    {"ShortDataStageStillApplies", Request(0x17, 1, 99, 2), ControlOutcome::Data, {0, 99},
     [](CameraSettings& s) { s.contrast = 99; }},
    {"LongDataStageGetsTheReply", Request(0x12, 0, 0, 64), ControlOutcome::Data, {2}, NoChange},
    {"UnknownRequestStalls", Request(0x11, 0, 0), ControlOutcome::Stall, {}, NoChange},
    {"HostToDeviceStalls", {0x40, 0x17, 1, 5, 0}, ControlOutcome::Stall, {}, NoChange},
};

INSTANTIATE_TEST_SUITE_P(Camera, VendorReplies, ::testing::ValuesIn(kReplyCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(VendorButton, PressIsReportedOnceByTheNextReadThatArrives) {
  SimCamera camera;
  camera.PressButton();
  camera.ArmControlFault({ControlFaultKind::ShortReply, 0x15, 1, 0});
  EXPECT_EQ(camera.Control(Request(0x15, 0, 0, 1), 0).data, Bytes{});  // lost on the way
  EXPECT_EQ(camera.Control(Request(0x15, 0, 0, 1), 0).data, Bytes{kButtonPressed});
  EXPECT_EQ(camera.Control(Request(0x15, 0, 0, 1), 0).data, Bytes{0});
}

struct FaultCase {
  const char* name;
  ControlFault fault;
  SetupPacket setup;
  ControlOutcome outcome;
  Bytes reply;
  bool takesEffect;
};
void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class ControlFaults : public ::testing::TestWithParam<FaultCase> {};

// The fault fires `count` times for the requests it matches; then the camera answers normally.
TEST_P(ControlFaults, FireForTheirCountThenTheCameraAnswers) {
  const FaultCase& c = GetParam();
  SimCamera camera;
  const CameraSettings before = camera.Settings();
  camera.ArmControlFault(c.fault);
  for (int i = 0; i < c.fault.count; ++i) {
    const ControlAnswer answer = camera.Control(c.setup, 0);
    EXPECT_EQ(answer.outcome, c.outcome);
    EXPECT_EQ(answer.data, c.reply);
    if (!c.takesEffect) {
      EXPECT_EQ(camera.Settings(), before);
    }
  }
  EXPECT_NE(camera.Settings() == before, c.takesEffect);
  const ControlAnswer after = camera.Control(c.setup, 0);
  EXPECT_EQ(after.outcome, ControlOutcome::Data);
  ASSERT_FALSE(after.data.empty());
  EXPECT_EQ(after.data.size(), std::min<std::size_t>(c.setup.wLength, 6));
  if (HasStatusReply(c.setup.bRequest)) {
    EXPECT_EQ(after.data[0], kReplyDone);
  }
}

const FaultCase kFaultCases[] = {
    {"BusyThreeTimes", {ControlFaultKind::Busy, 0x17, 3}, Request(0x17, 1, 90), ControlOutcome::Data,
     {1, 64, 0, 0, 0, 0}, false},
    {"BusyAnyRequest", {ControlFaultKind::Busy, std::nullopt, 1}, Request(0x0F, 640, 480),
     ControlOutcome::Data, {1, 20, 15, 0, 0, 0}, false},
    {"RefusedCompression", {ControlFaultKind::Refused, 0x10, 1}, Request(0x10, 5, 0), ControlOutcome::Data,
     {2, 2, 0, 0, 0, 0}, false},
    {"ShortReply", {ControlFaultKind::ShortReply, 0x16, 1, 5}, Request(0x16, 1, 0xFFFB), ControlOutcome::Data,
     {0, 0xFB, 1, 0, 0}, true},
    {"NoAnswer", {ControlFaultKind::NoAnswer, 0x13, 1}, Request(0x13, 1, 0), ControlOutcome::NoAnswer, {},
     false},
    {"Stall", {ControlFaultKind::Stall, 0x1B, 2}, Request(0x1B, 1, 3), ControlOutcome::Stall, {}, false},
};

INSTANTIATE_TEST_SUITE_P(Camera, ControlFaults, ::testing::ValuesIn(kFaultCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ControlFaultMatching, FaultsWaitForTheirRequest) {
  SimCamera camera;
  camera.ArmControlFault({ControlFaultKind::Busy, 0x17, 1});
  camera.ArmControlFault({ControlFaultKind::Refused, std::nullopt, 1});
  // A refusal cannot apply to a 1-byte read, so it waits for a request with a status block.
  EXPECT_EQ(camera.Control(Request(0x12, 0, 0, 1), 0).data, Bytes{2});
  EXPECT_EQ(camera.Control(Request(0x16, 1, 3), 0).data[0], kReplyRefused);
  EXPECT_EQ(camera.Control(Request(0x17, 1, 3), 0).data[0], kReplyBusy);
  EXPECT_EQ(camera.Control(Request(0x17, 1, 3), 0).data[0], kReplyDone);
  EXPECT_EQ(camera.Settings().brightness, 0);
  EXPECT_EQ(camera.Settings().contrast, 3);
}

TEST(ControlLog, RecordsRequestsAndAnswers) {
  SimCamera camera;
  camera.ArmControlFault({ControlFaultKind::NoAnswer, 0x13, 1});
  camera.Control(Request(0x16, 1, 0xFFFB), 7);
  camera.Control(Request(0x13, 1, 0), 9);

  const auto log = camera.Log().Controls();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].busFrame, 7u);
  EXPECT_EQ(log[0].setup, Request(0x16, 1, 0xFFFB));
  EXPECT_EQ(log[0].answer.data, (Bytes{0, 0xFB, 1, 0, 0, 0}));
  EXPECT_EQ(log[1].answer.outcome, ControlOutcome::NoAnswer);
  EXPECT_EQ(camera.Log().Requests(0x13).size(), 1u);
}

}  // namespace
}  // namespace torvex::sim
