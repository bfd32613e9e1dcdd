// What the camera received and sent, for tests to assert on. Safe to read from any thread; every
// accessor returns a copy. Each list keeps its newest `limit` records, the frames (which hold
// their bytes) their newest `frameLimit`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "frame_source.h"
#include "vendor_requests.h"

namespace torvex::sim {

enum class PacketStatus {
  Ok,
  Error,    // the packet arrives damaged; the host sees an error status for it
  Stalled,  // the video endpoint is halted
};

struct ControlRecord {
  std::uint64_t busFrame = 0;
  SetupPacket setup;
  ControlAnswer answer;
};

struct FrameRecord {
  std::uint64_t index = 0;
  std::uint64_t firstBusFrame = 0;
  FrameRequest request;
  std::vector<std::uint8_t> bytes;  // as the frame source gave them
  bool completed = false;           // every packet of the frame was sent
};

struct PacketRecord {
  std::uint64_t busFrame = 0;
  std::size_t length = 0;
  PacketStatus status = PacketStatus::Ok;
  bool startsFrame = false;
};

enum class CameraEvent {
  AlternateSetting,  // value: the alternate setting selected
  EndpointReset,     // the host reset the video pipe (clears a stall)
  FrameSkipped,      // value: frames that fell due while a frame was still being sent
  PacketsMissed,     // value: packets of the frame in progress lost in bus frames not polled
  StallSet,          // an injected stall halted the video endpoint
  TransferFailed,    // an injected fault ended the host's transfer with an error
  PortDisabled,      // an injected fault disabled the camera's port
  Unplugged,         // an injected fault unplugged the camera
  ButtonPressed,
  OversizeFrame,     // value: length of the oversize frame sent
};

struct EventRecord {
  std::uint64_t busFrame = 0;
  CameraEvent kind = CameraEvent::AlternateSetting;
  std::int64_t value = 0;
};

class CameraLog {
 public:
  explicit CameraLog(std::size_t limit = 100000, std::size_t frameLimit = 256)
      : limit_(limit), frameLimit_(frameLimit) {}

  std::vector<ControlRecord> Controls() const { return Copy(controls_); }
  std::vector<FrameRecord> Frames() const { return Copy(frames_); }
  std::vector<PacketRecord> Packets() const { return Copy(packets_); }
  std::vector<EventRecord> Events() const { return Copy(events_); }
  // The control requests with this bRequest, in order.
  std::vector<ControlRecord> Requests(std::uint8_t bRequest) const;
  std::size_t CountEvents(CameraEvent kind) const;
  void Clear();

  // Recording, for the camera.
  void Add(ControlRecord record) { Push(controls_, std::move(record), limit_); }
  void Add(FrameRecord record) { Push(frames_, std::move(record), frameLimit_); }
  void Add(PacketRecord record) { Push(packets_, record, limit_); }
  void Add(EventRecord record) { Push(events_, record, limit_); }
  void MarkFrameCompleted(std::uint64_t index);

 private:
  template <class T>
  std::vector<T> Copy(const std::deque<T>& list) const {
    std::lock_guard lock(mutex_);
    return {list.begin(), list.end()};
  }
  template <class T>
  void Push(std::deque<T>& list, T record, std::size_t limit) {
    std::lock_guard lock(mutex_);
    list.push_back(std::move(record));
    if (list.size() > limit) list.pop_front();
  }

  mutable std::mutex mutex_;
  std::size_t limit_;
  std::size_t frameLimit_;
  std::deque<ControlRecord> controls_;
  std::deque<FrameRecord> frames_;
  std::deque<PacketRecord> packets_;
  std::deque<EventRecord> events_;
};

}  // namespace torvex::sim
