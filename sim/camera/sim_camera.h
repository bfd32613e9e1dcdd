// The simulated camera in video mode: its settings, descriptors, vendor requests, frame stream
// and injected faults. This class knows nothing of the host controller; the USB device model
// (usb_camera.h) calls it. All members may be called from any thread.
//
// Streaming: while video is on and an alternate setting with bandwidth is selected, the host
// takes one packet per 1 ms bus frame with VideoPacket(). Frames fall due at the configured rate
// from the first packet after video went on. A due frame is fetched from the frame source at the
// coded size and compression level last set, and sent packet by packet; a frame always finishes
// before the next one starts, and frames that fall due meanwhile are skipped (and logged).
// The camera sends in every bus frame whether polled or not: when the host skips bus frames in
// the middle of a frame, the packets of those bus frames are lost.
// Between frames the camera sends zero-length packets, or filler packets when so configured.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "camera_log.h"
#include "descriptors.h"
#include "frame_source.h"
#include "packetiser.h"
#include "vendor_requests.h"

namespace torvex::sim {

// A frame longer than this overflows the host's assembly buffer.
inline constexpr std::size_t kOverflowFrameBytes = 142240;

struct CameraConfig {
  DescriptorConfig descriptors;
  double framesPerSecond = 15.0;     // above 0, at most 1000
  bool fillerBetweenFrames = false;  // else zero-length packets between frames
  CameraSettings initialSettings{};  // the settings at power-on
  // Bytes sent as the configuration descriptor instead of the ones built from `descriptors`,
  // for hosts that must cope with an unusual or malformed configuration. The camera still
  // streams with the packet sizes of `descriptors`.
  std::vector<std::uint8_t> configurationOverride;
  std::size_t logLimit = 100000;
  std::size_t logFrameLimit = 256;
};

enum class StreamFaultKind {
  PacketError,    // `count` packets arrive with an error status (their data is lost)
  TransferError,  // the host's transfer ends with an error at this packet
  ShortPacket,    // `count` packets are cut to `shortLength` bytes
  Stall,          // the video endpoint halts until the host resets the pipe
  DisablePort,    // the hub disables the camera's port
  Unplug,         // the camera is unplugged
  OversizeFrame,  // the next frame to start is `oversizeBytes` long, beyond the host's limit
  ButtonPress,    // the button is pressed
};

// A fault of the video stream. It fires at the packet that follows `afterPackets` further
// packets the host polls (0: the next one); packet faults then hit `count` polled packets.
struct StreamFault {
  StreamFaultKind kind = StreamFaultKind::PacketError;
  std::uint64_t afterPackets = 0;
  int count = 1;
  std::size_t shortLength = 64;
  std::size_t oversizeBytes = kOverflowFrameBytes + 64;
};

// What the hub must do to the camera's port after a packet.
enum class PortAction { None, Disable, Unplug };

struct IsoPacket {
  PacketStatus status = PacketStatus::Ok;
  std::vector<std::uint8_t> data;
  bool failsTransfer = false;  // the transfer this packet belongs to ends with an error
  PortAction port = PortAction::None;
};

class SimCamera {
 public:
  // Throws std::invalid_argument for a configuration the camera cannot have. Without a frame
  // source the camera streams no frames until one is set.
  explicit SimCamera(CameraConfig config = {}, std::unique_ptr<FrameSource> source = nullptr);

  // USB side.
  const std::vector<std::uint8_t>& DeviceDescriptor() const { return deviceDescriptor_; }
  const std::vector<std::uint8_t>& ConfigurationDescriptor() const { return configDescriptor_; }
  const DescriptorConfig& Descriptors() const { return config_.descriptors; }
  ControlAnswer Control(const SetupPacket& setup, std::uint64_t busFrame);
  // False when the interface has no such alternate setting.
  bool SelectAlternateSetting(std::uint8_t interface, std::uint8_t alternate, std::uint64_t busFrame);
  std::uint8_t AlternateSetting() const;
  void ResetVideoEndpoint(std::uint64_t busFrame);
  IsoPacket VideoPacket(std::uint64_t busFrame);
  // Back to the power-on state (settings, alternate setting 0, no stall, no frame in progress);
  // armed faults stay armed.
  void PowerOn();

  // Test side.
  void ArmControlFault(const ControlFault& fault);
  void ArmStreamFault(const StreamFault& fault);
  void ClearFaults();
  void PressButton();
  void SetFrameSource(std::unique_ptr<FrameSource> source);
  void SetFrameRate(double framesPerSecond);  // throws std::invalid_argument outside (0, 1000]
  CameraSettings Settings() const;
  CameraLog& Log() { return log_; }
  const CameraLog& Log() const { return log_; }

 private:
  const ControlFault* TakeControlFault(std::uint8_t bRequest);
  void FireStreamFaults(std::uint64_t busFrame, IsoPacket& packet);
  void StartDueFrame(std::uint64_t busFrame);
  void Event(std::uint64_t busFrame, CameraEvent kind, std::int64_t value = 0);

  CameraConfig config_;
  std::vector<std::uint8_t> deviceDescriptor_;
  std::vector<std::uint8_t> configDescriptor_;
  CameraLog log_;

  mutable std::mutex mutex_;
  CameraSettings settings_;
  std::unique_ptr<FrameSource> source_;
  std::int64_t frameIntervalUs_ = 0;
  std::uint8_t alternate_ = 0;
  Packetiser packetiser_;
  bool stalled_ = false;
  std::optional<std::int64_t> nextFrameDueUs_;  // empty until the first packet after video on
  std::uint64_t framesStarted_ = 0;
  std::uint64_t packetsSent_ = 0;
  std::uint64_t lastBusFrame_ = 0;  // of the last request or packet, for the log
  std::optional<std::uint64_t> lastVideoFrame_;  // bus frame of the last packet polled
  std::optional<std::size_t> oversizeNext_;
  std::vector<ControlFault> controlFaults_;
  ControlFault firedControlFault_;
  struct ArmedStreamFault {
    StreamFault fault;
    std::uint64_t firstPacket;
  };
  std::vector<ArmedStreamFault> streamFaults_;
};

}  // namespace torvex::sim
