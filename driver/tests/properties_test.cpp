// The camera's device properties: reading and writing picture controls with a
// camera that answers, refuses, stays busy or never answers; rotation through
// the registry; and the video-control, decoder and compression sets.
#include <tuple>

#include "driver_fixture.h"

namespace torvex::driver_test {
namespace {

template <class T>
T PropertyOf(const GUID& set, ULONG id, ULONG streamIndex = 0) {
  T p{};
  p.Property.Set = set;
  p.Property.Id = id;
  if constexpr (requires { p.StreamIndex; }) p.StreamIndex = streamIndex;
  return p;
}

// --- reading picture controls -------------------------------------------------------

struct ControlCase {
  const char* name;
  GUID set;
  ULONG id;
  UCHAR request;
  int reads;           // camera requests of one get
  LONG fromCamera;     // reported when the camera answers (the flags for exposure)
  LONG stored;         // the driver's default, reported otherwise
  bool comparesFlags = false;  // exposure reports the camera's mode, not a value
};

enum class CameraAnswer { Answers, Refuses, BusyTwice, BusyForever, NeverAnswers, ShortReply };

const ControlCase kControls[] = {
    {"Brightness", PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, VENDOR_BRIGHTNESS, 1, -5, 0},
    {"Contrast", PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_CONTRAST, VENDOR_CONTRAST, 1, 100, 64},
    {"Saturation", PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_SATURATION, VENDOR_SATURATION, 1, 70, 128},
    {"Sharpness", PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_SHARPNESS, VENDOR_SHARPNESS, 1, 20, 16},
    {"WhiteBalance", PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, VENDOR_WHITE_BALANCE, 2, 10,
     14},
    {"Gamma", PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_GAMMA, VENDOR_GAMMA, 1, 3, 8},
    {"Backlight", PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BACKLIGHT_COMPENSATION,
     VENDOR_BACKLIGHT_COMP, 1, 1, 0},
    {"Exposure", PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_EXPOSURE, VENDOR_EXPOSURE, 1,
     sim::kModeManual, KSPROPERTY_CAMERACONTROL_FLAGS_AUTO, true},
};

class ControlGetTest : public DriverTest, public ::testing::WithParamInterface<std::tuple<ControlCase, CameraAnswer>> {};

TEST_P(ControlGetTest, ReportsTheCameraValueOrTheStoredOne) {
  const auto& [c, answer] = GetParam();
  Start();
  switch (answer) {
    case CameraAnswer::Answers: break;
    case CameraAnswer::Refuses: Camera().ArmControlFault({sim::ControlFaultKind::Refused, c.request, 10}); break;
    case CameraAnswer::BusyTwice: Camera().ArmControlFault({sim::ControlFaultKind::Busy, c.request, 2}); break;
    case CameraAnswer::BusyForever: Camera().ArmControlFault({sim::ControlFaultKind::Busy, c.request, 1000}); break;
    case CameraAnswer::NeverAnswers: Camera().ArmControlFault({sim::ControlFaultKind::NoAnswer, c.request, 10}); break;
    case CameraAnswer::ShortReply: Camera().ArmControlFault({sim::ControlFaultKind::ShortReply, c.request, 10, 5}); break;
  }
  const bool answered = answer == CameraAnswer::Answers || answer == CameraAnswer::BusyTwice;
  auto value = PropertyOf<KSPROPERTY_VIDEOPROCAMP_S>(c.set, c.id);
  const auto start = kernel.now();
  Result result = device->getProperty(value);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.bytes, sizeof(value));
  EXPECT_EQ(c.comparesFlags ? static_cast<LONG>(value.Flags) : value.Value, answered ? c.fromCamera : c.stored);

  size_t sent = static_cast<size_t>(c.reads);
  if (answer == CameraAnswer::BusyTwice) sent += 2;
  if (answer == CameraAnswer::BusyForever) sent = static_cast<size_t>(c.reads) * ISOUSB_BUSY_REPEAT_LIMIT;
  EXPECT_EQ(Camera().Log().Requests(c.request).size(), sent);
  const int64_t waited = answer == CameraAnswer::NeverAnswers ? 30'000'000LL * c.reads : 0;
  EXPECT_EQ(kernel.now() - start, waited);
}

std::string ControlGetName(const ::testing::TestParamInfo<std::tuple<ControlCase, CameraAnswer>>& info) {
  static const char* const kAnswers[] = {"Answers", "Refuses", "BusyTwice", "BusyForever", "NeverAnswers",
                                          "ShortReply"};
  return std::string(std::get<0>(info.param).name) + kAnswers[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, ControlGetTest,
    ::testing::Combine(::testing::ValuesIn(kControls),
                       ::testing::Values(CameraAnswer::Answers, CameraAnswer::Refuses, CameraAnswer::BusyTwice, CameraAnswer::BusyForever,
                                         CameraAnswer::NeverAnswers, CameraAnswer::ShortReply)),
    ControlGetName);

// --- writing picture controls and rotation ------------------------------------------

struct Sent {
  UCHAR request;
  USHORT wValue, wIndex;
};

struct SetCase {
  const char* name;
  GUID set;
  ULONG id;
  LONG value;
  ULONG flags;
  LONG reported;
  std::vector<Sent> sent;
  std::optional<uint32_t> rotateState = std::nullopt;
};

class ControlSetTest : public DriverTest, public ::testing::WithParamInterface<SetCase> {};

TEST_P(ControlSetTest, SendsTheValueAndReportsWhatTheCameraTook) {
  const SetCase& c = GetParam();
  Start();
  Camera().Log().Clear();
  auto value = PropertyOf<KSPROPERTY_VIDEOPROCAMP_S>(c.set, c.id);
  value.Value = c.value;
  value.Flags = c.flags;
  EXPECT_EQ(device->setProperty(value).status, STATUS_SUCCESS);
  EXPECT_EQ(value.Value, c.reported);
  auto controls = Camera().Log().Controls();
  ASSERT_EQ(controls.size(), c.sent.size());
  for (size_t i = 0; i < controls.size(); ++i) {
    EXPECT_EQ(controls[i].setup.bRequest, c.sent[i].request) << i;
    EXPECT_EQ(controls[i].setup.wValue, c.sent[i].wValue) << i;
    EXPECT_EQ(controls[i].setup.wIndex, c.sent[i].wIndex) << i;
  }
  EXPECT_EQ(Registry(TORVEX_ROTATE_STATE_VALUE), c.rotateState);
}

const GUID kProcAmp = PROPSETID_VIDCAP_VIDEOPROCAMP;
const GUID kCameraControl = PROPSETID_VIDCAP_CAMERACONTROL;
constexpr ULONG kManual = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;

INSTANTIATE_TEST_SUITE_P(
    Values, ControlSetTest,
    ::testing::Values(
        SetCase{"BrightnessNegative", kProcAmp, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, -128, kManual, -128,
                {{VENDOR_BRIGHTNESS, 1, 0xFF80}}},
        SetCase{"Saturation128TravelsAsZero", kProcAmp, KSPROPERTY_VIDEOPROCAMP_SATURATION, 128, kManual, 128,
                {{VENDOR_SATURATION, 1, 0}}},
        SetCase{"Saturation100", kProcAmp, KSPROPERTY_VIDEOPROCAMP_SATURATION, 100, kManual, 100,
                {{VENDOR_SATURATION, 1, 100}}},
        SetCase{"SharpnessClampedByTheCamera", kProcAmp, KSPROPERTY_VIDEOPROCAMP_SHARPNESS, 100, kManual, 63,
                {{VENDOR_SHARPNESS, 1, 100}}},
        SetCase{"WhiteBalanceModeThenLevel", kProcAmp, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 10, kManual, 10,
                {{VENDOR_WHITE_BALANCE, 3, kManual}, {VENDOR_WHITE_BALANCE, 1, 0x160A}}},
        SetCase{"ExposureModeOnly", kCameraControl, KSPROPERTY_CAMERACONTROL_EXPOSURE, 1,
                KSPROPERTY_CAMERACONTROL_FLAGS_AUTO, 1, {{VENDOR_EXPOSURE, 3, KSPROPERTY_CAMERACONTROL_FLAGS_AUTO}}},
        SetCase{"Roll100", kCameraControl, KSPROPERTY_CAMERACONTROL_ROLL, 100, kManual, 180, {}, 2u},
        SetCase{"Roll270", kCameraControl, KSPROPERTY_CAMERACONTROL_ROLL, 270, kManual, 270, {}, 3u},
        SetCase{"RollNegative", kCameraControl, KSPROPERTY_CAMERACONTROL_ROLL, -10, kManual, 0, {}, 0u},
        SetCase{"RollBeyond270", kCameraControl, KSPROPERTY_CAMERACONTROL_ROLL, 300, kManual, 0, {}, 0u}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DriverTest, SettingIsKeptWhenTheCameraRefusesIt) {
  Start();
  Camera().ArmControlFault({sim::ControlFaultKind::Refused, VENDOR_CONTRAST, 2});
  auto value = PropertyOf<KSPROPERTY_VIDEOPROCAMP_S>(kProcAmp, KSPROPERTY_VIDEOPROCAMP_CONTRAST);
  value.Value = 200;
  value.Flags = kManual;
  EXPECT_EQ(device->setProperty(value).status, STATUS_SUCCESS);
  EXPECT_EQ(value.Value, 200);
  auto read = PropertyOf<KSPROPERTY_VIDEOPROCAMP_S>(kProcAmp, KSPROPERTY_VIDEOPROCAMP_CONTRAST);
  EXPECT_EQ(device->getProperty(read).status, STATUS_SUCCESS);
  EXPECT_EQ(read.Value, 200);
  EXPECT_EQ(read.Flags, kManual);
  EXPECT_EQ(Camera().Settings().contrast, 100);
}

LONG GetRoll(Device& device) {
  auto roll = PropertyOf<KSPROPERTY_CAMERACONTROL_S>(kCameraControl, KSPROPERTY_CAMERACONTROL_ROLL);
  EXPECT_EQ(device.getProperty(roll).status, STATUS_SUCCESS);
  return roll.Value;
}

TEST_F(DriverTest, RotationIsStoredInTheRegistryAndReadAtTheNextOpen) {
  kernel.registry().setDword(kProductKey, TORVEX_ROTATE_STATE_VALUE, 2);
  OpenStream();
  EXPECT_EQ(GetRoll(*device), 180);
  auto roll = PropertyOf<KSPROPERTY_CAMERACONTROL_S>(kCameraControl, KSPROPERTY_CAMERACONTROL_ROLL);
  roll.Value = 270;
  roll.Flags = kManual;
  EXPECT_EQ(device->setProperty(roll).status, STATUS_SUCCESS);
  EXPECT_EQ(Registry(TORVEX_ROTATE_STATE_VALUE), 3u);
  EXPECT_EQ(GetRoll(*device), 270);

  // Another program stores a rotation; it applies from the next open on.
  stream.reset();
  kernel.registry().setDword(kProductKey, TORVEX_ROTATE_STATE_VALUE, 1);
  EXPECT_EQ(GetRoll(*device), 270);
  auto format = RgbFormat();
  stream = device->openStream(0, &format.DataFormat);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(GetRoll(*device), 90);

  // A value that is no quarter turn, or no DWORD at all, reads as no rotation.
  stream.reset();
  kernel.registry().setValue(kProductKey, TORVEX_ROTATE_STATE_VALUE, {REG_SZ, {'9', 0, 0, 0}});
  stream = device->openStream(0, &format.DataFormat);
  EXPECT_EQ(GetRoll(*device), 0);
}

// --- video control, decoder and compression ------------------------------------------

TEST_F(DriverTest, VideoControlAndCompressionAddressTheOpenStreamOrTheAdapter) {
  Start();
  auto mode = PropertyOf<KSPROPERTY_VIDEOCONTROL_MODE_S>(PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_MODE);
  EXPECT_EQ(device->getProperty(mode).status, STATUS_SUCCESS);
  EXPECT_EQ(mode.Mode, KS_VideoControlFlag_FlipHorizontal);  // mirrored by default
  auto caps = PropertyOf<KSPROPERTY_VIDEOCONTROL_CAPS_S>(PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_CAPS);
  EXPECT_EQ(device->getProperty(caps).status, STATUS_SUCCESS);
  EXPECT_EQ(caps.VideoControlCaps, static_cast<ULONG>(KS_VideoControlFlag_FlipHorizontal));

  auto format = RgbFormat();
  stream = device->openStream(0, &format.DataFormat);
  ASSERT_NE(stream, nullptr);
  auto* extension = static_cast<StreamExtension*>(stream->extension());
  EXPECT_EQ(extension->VideoControlMode, 1);
  mode.Mode = 0;
  EXPECT_EQ(device->setProperty(mode).status, STATUS_SUCCESS);
  EXPECT_EQ(extension->VideoControlMode, 0);
  EXPECT_EQ(Adapter()->VideoControlMode, 0);

  auto quality =
      PropertyOf<KSPROPERTY_VIDEOCOMPRESSION_S>(PROPSETID_VIDCAP_VIDEOCOMPRESSION, KSPROPERTY_VIDEOCOMPRESSION_QUALITY);
  quality.Value = 3500;
  EXPECT_EQ(device->setProperty(quality).status, STATUS_SUCCESS);
  EXPECT_EQ(extension->Quality, 3500);
  EXPECT_EQ(Adapter()->Quality, 3500);
  quality.Value = 0;
  EXPECT_EQ(device->getProperty(quality).status, STATUS_SUCCESS);
  EXPECT_EQ(quality.Value, 3500);
  auto info = PropertyOf<KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S>(PROPSETID_VIDCAP_VIDEOCOMPRESSION,
                                                                KSPROPERTY_VIDEOCOMPRESSION_GETINFO);
  Result result = device->getProperty(info);
  EXPECT_EQ(result.bytes, sizeof(info));
  EXPECT_EQ(info.Capabilities, KS_CompressionCaps_CanQuality);

  // Only stream indexes 0 and 1 exist.
  mode.StreamIndex = 2;
  EXPECT_EQ(device->getProperty(mode).status, STATUS_INVALID_PARAMETER);
  quality.StreamIndex = 2;
  EXPECT_EQ(device->setProperty(quality).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Adapter()->Quality, 3500);
}

TEST_F(DriverTest, VideoDecoderValuesAreOnlyStored) {
  Start();
  auto caps = PropertyOf<KSPROPERTY_VIDEODECODER_CAPS_S>(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_CAPS);
  EXPECT_EQ(device->getProperty(caps).bytes, sizeof(caps));
  EXPECT_EQ(caps.Capabilities, 7u);
  EXPECT_EQ(caps.SettlingTime, 10u);
  EXPECT_EQ(caps.HSyncPerVSync, 6u);

  struct {
    ULONG standard;
    ULONG lines;
  } const standards[] = {{KS_AnalogVideo_NTSC_M, 525}, {KS_AnalogVideo_PAL_B, 625}};
  for (const auto& s : standards) {
    auto standard =
        PropertyOf<KSPROPERTY_VIDEODECODER_S>(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD);
    standard.Value = s.standard;
    EXPECT_EQ(device->setProperty(standard).status, STATUS_SUCCESS);
    standard.Value = 0;
    EXPECT_EQ(device->getProperty(standard).status, STATUS_SUCCESS);
    EXPECT_EQ(standard.Value, s.standard);
    auto status =
        PropertyOf<KSPROPERTY_VIDEODECODER_STATUS_S>(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STATUS);
    EXPECT_EQ(device->getProperty(status).status, STATUS_SUCCESS);
    EXPECT_EQ(status.NumberOfLines, s.lines);
    EXPECT_EQ(status.SignalLocked, 1u);
  }
  EXPECT_TRUE(Camera().Log().Controls().empty());
}

}  // namespace
}  // namespace torvex::driver_test
