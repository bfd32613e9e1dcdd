// The camera's vendor control requests and the state that answers them.
//
// Every request is a vendor, device-to-host control transfer (bmRequestType 0xC0): even the
// requests that change a setting read a reply. Settings answer with a 6-byte block:
//   byte 0  status: 0 done, 1 busy (nothing changed, ask again), 2 refused (nothing changed)
//   byte 1  the current value, low byte
//   byte 2  brightness: bit 0 set when the value is negative; white balance: 32 - level;
//           coded size: height / 16 (byte 1 then holds width / 16)
//   3..5    zero
// The compression-setting and button reads answer with one byte.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace torvex::sim {

inline constexpr std::uint8_t kVendorDeviceIn = 0xC0;  // bmRequestType of every camera request

enum class CameraRequest : std::uint8_t {
  SetCodedSize = 0x0F,    // wValue width, wIndex height
  SetCompression = 0x10,  // wValue level
  GetCompression = 0x12,  // 1-byte answer: the level
  VideoStreaming = 0x13,  // wValue 1 on, 0 off
  GetButton = 0x15,       // 1-byte answer: 4 when pressed since the last read
  Brightness = 0x16,
  Contrast = 0x17,
  Saturation = 0x18,
  Sharpness = 0x19,
  WhiteBalance = 0x1A,
  Gamma = 0x1B,
  BacklightCompensation = 0x1C,
  ExposureMode = 0x1D,
};

// Sub-commands carried in wValue of a picture-control request.
enum SettingSubCommand : std::uint16_t { kReadValue = 0, kWriteValue = 1, kReadMode = 2, kWriteMode = 3 };

// Modes of the white balance and the exposure, as the host's property flags.
inline constexpr std::uint8_t kModeAutomatic = 1;
inline constexpr std::uint8_t kModeManual = 2;

inline constexpr std::uint8_t kReplyDone = 0;
inline constexpr std::uint8_t kReplyBusy = 1;
inline constexpr std::uint8_t kReplyRefused = 2;
inline constexpr std::uint8_t kButtonPressed = 4;
inline constexpr std::size_t kSettingReplyLength = 6;

struct SetupPacket {
  std::uint8_t bmRequestType = kVendorDeviceIn;
  std::uint8_t bRequest = 0;
  std::uint16_t wValue = 0;
  std::uint16_t wIndex = 0;
  std::uint16_t wLength = 0;
  bool operator==(const SetupPacket&) const = default;
};

// How the camera ends a control transfer.
enum class ControlOutcome {
  Data,      // the data stage carries `data` (possibly fewer bytes than wLength)
  Stall,     // the default pipe answers STALL
  NoAnswer,  // the camera never completes the transfer; only cancelling the transfer ends it
};

struct ControlAnswer {
  ControlOutcome outcome = ControlOutcome::Data;
  std::vector<std::uint8_t> data;
};

// Coded picture sizes the camera can send.
struct CodedSize {
  int width = 320;
  int height = 240;
  bool operator==(const CodedSize&) const = default;
};

// The camera's own settings. Picture controls hold the camera's register values.
struct CameraSettings {
  int brightness = 0;          // -128..127
  int contrast = 64;           // 0..255
  int saturation = 0;          // 0..127; the host sends 128 as 0
  int sharpness = 16;          // 0..63
  int whiteBalance = 14;       // 1..31
  int whiteBalanceMode = kModeAutomatic;
  int gamma = 8;               // 0..15
  int backlightCompensation = 0;  // 0..1
  int exposureMode = kModeAutomatic;
  CodedSize codedSize{};
  int compressionLevel = 2;    // 0..kMaxCompressionLevel
  bool videoOn = false;
  bool buttonLatched = false;  // a press not yet read by request 0x15
  bool operator==(const CameraSettings&) const = default;
};

inline constexpr int kMaxCompressionLevel = 7;

// Faults a test arms for the control pipe. A fault matches requests with its bRequest (or every
// request when bRequest is empty) and fires `count` times, each time for the next matching request.
enum class ControlFaultKind {
  Busy,        // reply status 1, nothing changed
  Refused,     // reply status 2, nothing changed
  ShortReply,  // the request takes effect, but only `shortLength` bytes of the reply come back
  NoAnswer,    // the transfer stays pending until it is cancelled; nothing changed
  Stall,       // the default pipe stalls; nothing changed
};

struct ControlFault {
  ControlFaultKind kind = ControlFaultKind::Busy;
  std::optional<std::uint8_t> bRequest;  // empty: any request
  int count = 1;
  std::uint16_t shortLength = 5;
};

// Answers one control request from `settings`, changing them as the request says. `fault` is the
// fault that fires for this request, if any; busy and refused faults are for requests with a
// status block (the caller does not fire them for the 1-byte reads). Unknown requests and
// requests that are not vendor device-to-host stall.
ControlAnswer AnswerControlRequest(CameraSettings& settings, const SetupPacket& setup,
                                   const ControlFault* fault);

// False for the 1-byte reads, which answer without a status byte.
bool HasStatusReply(std::uint8_t bRequest);

}  // namespace torvex::sim
