#include "sim_camera.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace torvex::sim {
namespace {

constexpr std::int64_t kBusFrameUs = 1000;

std::int64_t FrameIntervalUs(double framesPerSecond) {
  if (!(framesPerSecond > 0.0 && framesPerSecond <= 1000.0))
    throw std::invalid_argument("frame rate must be above 0 and at most 1000 frames a second");
  return std::llround(1e6 / framesPerSecond);
}

// A frame that starts like any other but is longer than the host can hold; none of its groups
// looks like filler or like a frame start.
std::vector<std::uint8_t> OversizeFrame(std::size_t length) {
  std::vector<std::uint8_t> frame(length);
  for (std::size_t i = 0; i < length; ++i) frame[i] = static_cast<std::uint8_t>(0x80 | (i & 0x7F));
  frame[0] = 0x00;
  frame[1] = 0x01;
  return frame;
}

bool IsPacketFault(StreamFaultKind kind) {
  return kind == StreamFaultKind::PacketError || kind == StreamFaultKind::ShortPacket;
}

}  // namespace

SimCamera::SimCamera(CameraConfig config, std::unique_ptr<FrameSource> source)
    : config_(std::move(config)),
      deviceDescriptor_(BuildDeviceDescriptor(config_.descriptors)),
      configDescriptor_(config_.configurationOverride.empty()
                            ? BuildConfigurationDescriptor(config_.descriptors)
                            : config_.configurationOverride),
      log_(config_.logLimit, config_.logFrameLimit),
      settings_(config_.initialSettings),
      source_(std::move(source)),
      frameIntervalUs_(FrameIntervalUs(config_.framesPerSecond)),
      packetiser_(config_.descriptors.packetSizes[0]) {}

void SimCamera::Event(std::uint64_t busFrame, CameraEvent kind, std::int64_t value) {
  log_.Add(EventRecord{busFrame, kind, value});
}

const ControlFault* SimCamera::TakeControlFault(std::uint8_t bRequest) {
  for (auto it = controlFaults_.begin(); it != controlFaults_.end(); ++it) {
    if (it->bRequest && *it->bRequest != bRequest) continue;
    const bool needsStatus = it->kind == ControlFaultKind::Busy || it->kind == ControlFaultKind::Refused;
    if (needsStatus && !HasStatusReply(bRequest)) continue;
    firedControlFault_ = *it;
    if (--it->count <= 0) controlFaults_.erase(it);
    return &firedControlFault_;
  }
  return nullptr;
}

ControlAnswer SimCamera::Control(const SetupPacket& setup, std::uint64_t busFrame) {
  std::lock_guard lock(mutex_);
  lastBusFrame_ = busFrame;
  const bool wasOn = settings_.videoOn;
  const ControlFault* fault = TakeControlFault(setup.bRequest);
  ControlAnswer answer = AnswerControlRequest(settings_, setup, fault);
  if (settings_.videoOn && !wasOn) nextFrameDueUs_.reset();
  if (!settings_.videoOn && wasOn) packetiser_.AbandonFrame();
  log_.Add(ControlRecord{busFrame, setup, answer});
  return answer;
}

bool SimCamera::SelectAlternateSetting(std::uint8_t interface, std::uint8_t alternate,
                                       std::uint64_t busFrame) {
  std::lock_guard lock(mutex_);
  if (interface == kStatusInterface && config_.descriptors.statusInterface) return alternate == 0;
  if (interface != kStreamingInterface || alternate >= config_.descriptors.packetSizes.size())
    return false;
  alternate_ = alternate;
  stalled_ = false;  // selecting a setting resets its endpoint
  packetiser_.SetMaxPacketSize(config_.descriptors.packetSizes[alternate]);
  Event(busFrame, CameraEvent::AlternateSetting, alternate);
  return true;
}

std::uint8_t SimCamera::AlternateSetting() const {
  std::lock_guard lock(mutex_);
  return alternate_;
}

void SimCamera::ResetVideoEndpoint(std::uint64_t busFrame) {
  std::lock_guard lock(mutex_);
  stalled_ = false;
  Event(busFrame, CameraEvent::EndpointReset);
}

void SimCamera::PowerOn() {
  std::lock_guard lock(mutex_);
  settings_ = config_.initialSettings;
  alternate_ = 0;
  packetiser_.SetMaxPacketSize(config_.descriptors.packetSizes[0]);
  stalled_ = false;
  nextFrameDueUs_.reset();
  lastVideoFrame_.reset();
  oversizeNext_.reset();
}

void SimCamera::StartDueFrame(std::uint64_t busFrame) {
  const std::int64_t nowUs = static_cast<std::int64_t>(busFrame) * kBusFrameUs;
  if (!nextFrameDueUs_) nextFrameDueUs_ = nowUs;
  if (nowUs < *nextFrameDueUs_) return;
  const std::int64_t skipped = (nowUs - *nextFrameDueUs_) / frameIntervalUs_;
  if (skipped > 0) Event(busFrame, CameraEvent::FrameSkipped, skipped);
  *nextFrameDueUs_ += (skipped + 1) * frameIntervalUs_;

  const FrameRequest request{settings_.codedSize, settings_.compressionLevel, framesStarted_};
  std::vector<std::uint8_t> frame;
  if (oversizeNext_) {
    frame = OversizeFrame(*oversizeNext_);
    Event(busFrame, CameraEvent::OversizeFrame, static_cast<std::int64_t>(frame.size()));
    oversizeNext_.reset();
  } else if (source_) {
    frame = source_->NextFrame(request);
  }
  if (frame.empty()) return;
  packetiser_.StartFrame(frame);
  log_.Add(FrameRecord{framesStarted_++, busFrame, request, std::move(frame), false});
}

void SimCamera::FireStreamFaults(std::uint64_t busFrame, IsoPacket& packet) {
  const std::uint64_t index = packetsSent_;
  for (auto it = streamFaults_.begin(); it != streamFaults_.end();) {
    const StreamFault& fault = it->fault;
    if (index < it->firstPacket || IsPacketFault(fault.kind)) {
      ++it;
      continue;
    }
    switch (fault.kind) {
      case StreamFaultKind::Stall:
        stalled_ = true;
        packetiser_.AbandonFrame();
        Event(busFrame, CameraEvent::StallSet);
        break;
      case StreamFaultKind::TransferError:
        packet.failsTransfer = true;
        Event(busFrame, CameraEvent::TransferFailed);
        break;
      case StreamFaultKind::DisablePort:
        packet.port = PortAction::Disable;
        Event(busFrame, CameraEvent::PortDisabled);
        break;
      case StreamFaultKind::Unplug:
        packet.port = PortAction::Unplug;
        Event(busFrame, CameraEvent::Unplugged);
        break;
      case StreamFaultKind::OversizeFrame: oversizeNext_ = fault.oversizeBytes; break;
      case StreamFaultKind::ButtonPress:
        settings_.buttonLatched = true;
        Event(busFrame, CameraEvent::ButtonPressed);
        break;
      default: break;
    }
    it = streamFaults_.erase(it);
  }
}

IsoPacket SimCamera::VideoPacket(std::uint64_t busFrame) {
  std::lock_guard lock(mutex_);
  // The camera sends a packet in every bus frame; packets of frames the host did not poll
  // are lost, and so is that part of the frame in progress.
  if (lastVideoFrame_ && busFrame > *lastVideoFrame_ + 1 && packetiser_.FrameInProgress()) {
    const std::uint64_t missed = busFrame - *lastVideoFrame_ - 1;
    for (std::uint64_t i = 0; i < missed && packetiser_.FrameInProgress(); ++i) packetiser_.NextPacket();
    if (!packetiser_.FrameInProgress()) log_.MarkFrameCompleted(framesStarted_ - 1);
    Event(busFrame, CameraEvent::PacketsMissed, static_cast<std::int64_t>(missed));
  }
  lastVideoFrame_ = busFrame;
  lastBusFrame_ = busFrame;
  IsoPacket packet;
  FireStreamFaults(busFrame, packet);

  bool startsFrame = false;
  if (stalled_) {
    packet.status = PacketStatus::Stalled;
  } else if (settings_.videoOn && packetiser_.CanCarryData()) {
    if (!packetiser_.FrameInProgress()) StartDueFrame(busFrame);
    if (packetiser_.FrameInProgress()) {
      packet.data = packetiser_.NextPacket(&startsFrame);
      if (!packetiser_.FrameInProgress()) log_.MarkFrameCompleted(framesStarted_ - 1);
    } else if (config_.fillerBetweenFrames) {
      packet.data = packetiser_.FillerPacket();
    }
  }

  // Packet faults damage what was sent: the camera's frame moves on regardless.
  const std::uint64_t index = packetsSent_++;
  for (auto it = streamFaults_.begin(); it != streamFaults_.end();) {
    const StreamFault& fault = it->fault;
    const std::uint64_t end = it->firstPacket + static_cast<std::uint64_t>(std::max(fault.count, 1));
    if (!IsPacketFault(fault.kind) || index < it->firstPacket) {
      ++it;
      continue;
    }
    if (packet.status == PacketStatus::Ok) {
      if (fault.kind == StreamFaultKind::PacketError) packet.status = PacketStatus::Error;
      else packet.data.resize(std::min(packet.data.size(), fault.shortLength));
    }
    it = index + 1 >= end ? streamFaults_.erase(it) : std::next(it);
  }

  log_.Add(PacketRecord{busFrame, packet.data.size(), packet.status, startsFrame});
  return packet;
}

void SimCamera::ArmControlFault(const ControlFault& fault) {
  if (fault.count <= 0) return;
  std::lock_guard lock(mutex_);
  controlFaults_.push_back(fault);
}

void SimCamera::ArmStreamFault(const StreamFault& fault) {
  std::lock_guard lock(mutex_);
  streamFaults_.push_back({fault, packetsSent_ + fault.afterPackets});
}

void SimCamera::ClearFaults() {
  std::lock_guard lock(mutex_);
  controlFaults_.clear();
  streamFaults_.clear();
}

void SimCamera::PressButton() {
  std::lock_guard lock(mutex_);
  settings_.buttonLatched = true;
  Event(lastBusFrame_, CameraEvent::ButtonPressed);
}

void SimCamera::SetFrameSource(std::unique_ptr<FrameSource> source) {
  std::lock_guard lock(mutex_);
  source_ = std::move(source);
}

void SimCamera::SetFrameRate(double framesPerSecond) {
  const std::int64_t interval = FrameIntervalUs(framesPerSecond);
  std::lock_guard lock(mutex_);
  frameIntervalUs_ = interval;
}

CameraSettings SimCamera::Settings() const {
  std::lock_guard lock(mutex_);
  return settings_;
}

}  // namespace torvex::sim
