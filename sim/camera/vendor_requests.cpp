#include "vendor_requests.h"

#include <algorithm>
#include <array>

namespace torvex::sim {
namespace {

struct ValueControl {
  int CameraSettings::*field;
  int minimum;
  int maximum;
};

// Picture controls that hold one value; writes outside the range are clamped, and the reply
// reports the value the camera keeps.
std::optional<ValueControl> FindValueControl(std::uint8_t bRequest) {
  switch (static_cast<CameraRequest>(bRequest)) {
    case CameraRequest::Brightness: return ValueControl{&CameraSettings::brightness, -128, 127};
    case CameraRequest::Contrast: return ValueControl{&CameraSettings::contrast, 0, 255};
    case CameraRequest::Saturation: return ValueControl{&CameraSettings::saturation, 0, 127};
    case CameraRequest::Sharpness: return ValueControl{&CameraSettings::sharpness, 0, 63};
    case CameraRequest::Gamma: return ValueControl{&CameraSettings::gamma, 0, 15};
    case CameraRequest::BacklightCompensation:
      return ValueControl{&CameraSettings::backlightCompensation, 0, 1};
    default: return std::nullopt;
  }
}

constexpr std::array<CodedSize, 3> kCodedSizes{{{320, 240}, {640, 480}, {800, 592}}};

bool IsMode(int flags) { return flags == kModeAutomatic || flags == kModeManual; }

bool IsRequest(const SetupPacket& setup, CameraRequest request) {
  return setup.bRequest == static_cast<std::uint8_t>(request);
}

enum class Verdict { Accepted, Refused, Unknown };

// Changes the settings as the request says, when the camera accepts it.
Verdict Apply(CameraSettings& s, const SetupPacket& setup) {
  const std::uint16_t sub = setup.wValue;
  switch (static_cast<CameraRequest>(setup.bRequest)) {
    case CameraRequest::SetCodedSize: {
      const CodedSize wanted{setup.wValue, setup.wIndex};
      if (std::find(kCodedSizes.begin(), kCodedSizes.end(), wanted) == kCodedSizes.end())
        return Verdict::Refused;
      s.codedSize = wanted;
      return Verdict::Accepted;
    }
    case CameraRequest::SetCompression:
      s.compressionLevel = std::min<int>(setup.wValue, kMaxCompressionLevel);
      return Verdict::Accepted;
    case CameraRequest::VideoStreaming:
      if (sub > 1) return Verdict::Refused;
      s.videoOn = sub == 1;
      return Verdict::Accepted;
    case CameraRequest::WhiteBalance:
      if (sub == kReadValue || sub == kReadMode) return Verdict::Accepted;
      if (sub == kWriteValue) {
        // The level travels twice: low byte v, high byte 32 - v.
        const int level = setup.wIndex & 0xFF;
        if (level < 1 || level > 31 || (setup.wIndex >> 8) != 32 - level) return Verdict::Refused;
        s.whiteBalance = level;
        return Verdict::Accepted;
      }
      if (sub == kWriteMode && IsMode(setup.wIndex)) {
        s.whiteBalanceMode = setup.wIndex;
        return Verdict::Accepted;
      }
      return Verdict::Refused;
    case CameraRequest::ExposureMode:
      if (sub == kReadMode) return Verdict::Accepted;
      if (sub == kWriteMode && IsMode(setup.wIndex)) {
        s.exposureMode = setup.wIndex;
        return Verdict::Accepted;
      }
      return Verdict::Refused;
    default: break;
  }
  const auto control = FindValueControl(setup.bRequest);
  if (!control) return Verdict::Unknown;
  if (sub == kReadValue) return Verdict::Accepted;
  if (sub != kWriteValue) return Verdict::Refused;
  // Brightness arrives as a 16-bit two's complement number.
  const int written = IsRequest(setup, CameraRequest::Brightness) ? static_cast<std::int16_t>(setup.wIndex)
                                                                  : static_cast<int>(setup.wIndex);
  s.*(control->field) = std::clamp(written, control->minimum, control->maximum);
  return Verdict::Accepted;
}

// Bytes 1 and 2 of the status block: what the camera holds for this request.
std::pair<std::uint8_t, std::uint8_t> Report(const CameraSettings& s, const SetupPacket& setup) {
  const auto low = [](int value) { return static_cast<std::uint8_t>(value & 0xFF); };
  switch (static_cast<CameraRequest>(setup.bRequest)) {
    case CameraRequest::SetCodedSize:
      return {low(s.codedSize.width / 16), low(s.codedSize.height / 16)};
    case CameraRequest::SetCompression: return {low(s.compressionLevel), 0};
    case CameraRequest::VideoStreaming: return {s.videoOn ? 1 : 0, 0};
    case CameraRequest::WhiteBalance: {
      const bool mode = setup.wValue == kReadMode || setup.wValue == kWriteMode;
      return {low(mode ? s.whiteBalanceMode : s.whiteBalance), low(32 - s.whiteBalance)};
    }
    case CameraRequest::ExposureMode: return {low(s.exposureMode), 0};
    case CameraRequest::Brightness: return {low(s.brightness), s.brightness < 0 ? 1 : 0};
    default: {
      const auto control = FindValueControl(setup.bRequest);
      return {control ? low(s.*(control->field)) : std::uint8_t{0}, 0};
    }
  }
}

}  // namespace

bool HasStatusReply(std::uint8_t bRequest) {
  return bRequest != static_cast<std::uint8_t>(CameraRequest::GetCompression) &&
         bRequest != static_cast<std::uint8_t>(CameraRequest::GetButton);
}

ControlAnswer AnswerControlRequest(CameraSettings& settings, const SetupPacket& setup,
                                   const ControlFault* fault) {
  if (setup.bmRequestType != kVendorDeviceIn) return {ControlOutcome::Stall, {}};
  if (fault && fault->kind == ControlFaultKind::Stall) return {ControlOutcome::Stall, {}};
  if (fault && fault->kind == ControlFaultKind::NoAnswer) return {ControlOutcome::NoAnswer, {}};

  std::vector<std::uint8_t> reply;
  if (IsRequest(setup, CameraRequest::GetCompression)) {
    reply = {static_cast<std::uint8_t>(settings.compressionLevel)};
  } else if (IsRequest(setup, CameraRequest::GetButton)) {
    reply = {settings.buttonLatched ? kButtonPressed : std::uint8_t{0}};
  } else {
    const bool turnedAway =
        fault && (fault->kind == ControlFaultKind::Busy || fault->kind == ControlFaultKind::Refused);
    // A busy or refusing camera does not look at the request.
    CameraSettings unchanged = settings;
    const Verdict verdict = Apply(turnedAway ? unchanged : settings, setup);
    if (verdict == Verdict::Unknown) return {ControlOutcome::Stall, {}};
    std::uint8_t status = verdict == Verdict::Accepted ? kReplyDone : kReplyRefused;
    if (turnedAway) status = fault->kind == ControlFaultKind::Busy ? kReplyBusy : kReplyRefused;
    const auto [byte1, byte2] = Report(settings, setup);
    reply = {status, byte1, byte2, 0, 0, 0};
  }

  std::size_t length = std::min<std::size_t>(reply.size(), setup.wLength);
  if (fault && fault->kind == ControlFaultKind::ShortReply)
    length = std::min<std::size_t>(length, fault->shortLength);
  reply.resize(length);
  // A press is reported once, when the answer reaches the host.
  if (IsRequest(setup, CameraRequest::GetButton) && length > 0) settings.buttonLatched = false;
  return {ControlOutcome::Data, std::move(reply)};
}

}  // namespace torvex::sim
