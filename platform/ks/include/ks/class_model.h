// A model of the streaming class driver, seen from a capture application.
//
// StreamClass loads one minidriver (calls its DriverEntry, which registers with
// StreamClassRegisterAdapter), adds a device for a plugged camera (a class device
// object attached on top of the camera's physical device object, and the device
// extension at the registered size) and then sends the minidriver the requests
// an application causes: initialise, stream information, data intersection,
// open and close of streams, states, reads, properties, master clock, power,
// uninitialise. Every request is an SRB with its own zeroed SRB extension and
// IRP; the model delivers it on the calling thread, at PASSIVE_LEVEL, without
// any serialisation (minidrivers register with TurnOffSynchronization), so
// several application threads reach the minidriver at once.
//
// Protocol checks. The model records a violation (and reports it to the kernel,
// so that the test that caused it fails) when the minidriver
//   - completes an SRB twice, or completes an SRB the class never sent or has
//     already forgotten;
//   - completes a device request as a stream request or the other way round,
//     or names another device extension or stream object than the SRB's;
//   - completes an SRB with STATUS_PENDING, reports more bytes than the buffer
//     holds, or changes a read's buffer pointer or header size;
//   - still holds a stream request when its stream is closed (after the stop,
//     the cancellation of what is pending and a bounded wait, as for an
//     application closing its handle), or any request when the device goes away;
//   - calls a class service with an unknown device extension, stream object or
//     clock handle.
//
// Time-outs and cancellation. Each SRB starts with TimeoutCounter and
// TimeoutOriginal at the class default (15 s) and the minidriver may change
// them in its entry point. Once the entry point has returned, the class counts
// TimeoutCounter down once a second of kernel time while the request is
// pending, and at zero calls the registered HwRequestTimeoutHandler (on the DPC
// thread, DISPATCH_LEVEL); the request stays pending. A counter of 0 is never
// counted. Request::cancel() calls HwCancelPacket at DISPATCH_LEVEL.
//
// Waiting. Calls that return a Result wait for the SRB's completion with a
// kernel wait, bounded by ClassOptions::requestWaitLimit of kernel time; a test
// thread that is not a kernel thread lets the clock jump while the system is
// idle, so a request the minidriver completes after a USB time-out returns at
// once. A request still pending at the limit is a violation and the call
// returns STATUS_IO_TIMEOUT (the request itself stays pending). Extra
// application threads should be kernel threads (Kernel::startThread): they are
// counted by idle detection and never make the clock jump; the test drives time.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kernel/kernel.h"
#include "ks/stream_class.h"

namespace torvex::platform::ks {

struct ClassOptions {
  ULONG defaultTimeoutSeconds = 15;                        // TimeoutCounter of a new SRB
  Duration requestWaitLimit = std::chrono::seconds(60);    // bound of a synchronous call
  // Property requests are matched against the minidriver's property tables, as
  // the class does: an unknown set or id gets STATUS_NOT_FOUND, an unsupported
  // get or set STATUS_INVALID_DEVICE_REQUEST and a short buffer
  // STATUS_BUFFER_TOO_SMALL, without reaching the minidriver. Off: every property
  // request is delivered (PropertySetID is then ~0u for a set not in the table).
  bool checkPropertyTables = true;
};

inline constexpr NTSTATUS STATUS_NOT_FOUND = TORVEX_NTSTATUS(0xC0000225);
inline constexpr NTSTATUS STATUS_REVISION_MISMATCH = TORVEX_NTSTATUS(0xC0000059);

struct Result {
  NTSTATUS status = STATUS_SUCCESS;
  ULONG bytes = 0;  // ActualBytesTransferred
};

class StreamClass;
class Device;
class Stream;
struct SrbRecord;
struct Plumbing;
struct DeviceState;
struct StreamState;

// Stream time for SRB_INDICATE_MASTER_CLOCK: runs with the kernel clock from the
// stream time it was last set to (0 at construction).
class MasterClock {
 public:
  explicit MasterClock(StreamClass& streamClass);
  ~MasterClock();
  MasterClock(const MasterClock&) = delete;
  MasterClock& operator=(const MasterClock&) = delete;

  HANDLE handle() { return this; }
  LONGLONG streamTime() const;
  void setStreamTime(LONGLONG time);

 private:
  StreamClass& class_;
  mutable std::mutex mutex_;
  LONGLONG base_ = 0;
  TimePoint origin_ = 0;
};

// An SRB sent to the minidriver; shared with the class until it completes.
class Request {
 public:
  Request() = default;
  Request(Request&&) noexcept = default;
  Request& operator=(Request&&) noexcept;
  ~Request();

  explicit operator bool() const { return record_ != nullptr; }
  bool done() const;
  // Waits (bounded, see the file comment) and returns the SRB's Status.
  NTSTATUS wait();
  NTSTATUS status() const;    // STATUS_PENDING while not completed
  ULONG bytes() const;        // ActualBytesTransferred
  // Position among all completions the class has seen (1 = first), 0 while
  // pending: tests compare it to check the order requests were completed in.
  uint64_t completionOrder() const;
  // Calls the minidriver's HwCancelPacket at DISPATCH_LEVEL if still pending;
  // returns whether it was still pending.
  bool cancel();
  PHW_STREAM_REQUEST_BLOCK srb() const;

  // Reads: the stream header, its extended header and the data buffer. Valid
  // once done().
  const KSSTREAM_HEADER& header() const;
  const KS_FRAME_INFO* frameInfo() const;  // nullptr if the extended header is smaller
  const UCHAR* data() const;
  ULONG dataSize() const;  // FrameExtent

 private:
  friend class StreamClass;
  friend class Device;
  friend class Stream;
  Request(StreamClass* owner, std::shared_ptr<SrbRecord> record);
  void release();
  StreamClass* owner_ = nullptr;
  std::shared_ptr<SrbRecord> record_;
};

class Stream {
 public:
  ~Stream();  // closes the stream if still open
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  ULONG number() const;
  PHW_STREAM_OBJECT object() const;
  PVOID extension() const;
  bool isOpen() const;

  Result setState(KSSTATE state);
  Result getState(KSSTATE* state);
  Result setMasterClock(MasterClock* clock);  // nullptr removes it
  Result proposeFormat(const KSDATAFORMAT* format);  // FormatSize bytes
  Result setFormat(const KSDATAFORMAT* format);
  // Property request: property is the input (at least a KSPROPERTY; its Flags
  // are set here), data the value buffer; the value is copied back to data.
  Result getProperty(const void* property, ULONG propertySize, void* data, ULONG dataSize);
  Result setProperty(const void* property, ULONG propertySize, void* data, ULONG dataSize);
  template <class T>
  Result getProperty(T& value) { return getProperty(&value, sizeof(T), &value, sizeof(T)); }
  template <class T>
  Result setProperty(T& value) { return setProperty(&value, sizeof(T), &value, sizeof(T)); }
  Result command(SRB_COMMAND command);  // a control request without data

  // Queues a read with a data buffer of the given size on the stream's data
  // path (another data command may be given); does not wait. An empty Request
  // (false) when the stream is not open.
  Request read(ULONG dataSize, SRB_COMMAND command = SRB_READ_DATA);

  // Sets the stop state unless the stream is known to be stopped, cancels the
  // stream requests still pending and waits for them (bounded by the wait
  // limit), then sends SRB_CLOSE_STREAM. A request still pending then is a
  // violation.
  NTSTATUS close();

 private:
  friend class Device;
  Stream(StreamClass& owner, std::shared_ptr<StreamState> state);
  StreamClass& class_;
  std::shared_ptr<StreamState> state_;
};

// Streams and devices must go before the StreamClass, and a device before the
// host controller that made its physical device object.
class Device {
 public:
  // Closes open streams, sends SRB_UNINITIALIZE_DEVICE if SRB_INITIALIZE_DEVICE
  // was delivered (whatever its status) and uninitialize() was not called since,
  // reports requests left pending, and detaches and deletes the class device object.
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  PVOID extension() const;
  PDEVICE_OBJECT classDeviceObject() const;

  // SRB_INITIALIZE_DEVICE (with the given number of access ranges in the port
  // configuration); when it succeeds, SRB_GET_STREAM_INFO into a buffer of the
  // StreamDescriptorSize the minidriver set, then SRB_INITIALIZATION_COMPLETE.
  // Returns the first failing status.
  NTSTATUS start(ULONG numberOfAccessRanges = 0);
  bool started() const;
  // Sends SRB_UNINITIALIZE_DEVICE.
  Result uninitialize();

  // The stream descriptor read at start (nullptr before).
  const HW_STREAM_HEADER* streamHeader() const;
  const HW_STREAM_INFORMATION* streamInfo(ULONG streamNumber) const;
  // The minidriver's property item for (set, id) in the device or stream table.
  const KSPROPERTY_ITEM* findDeviceProperty(const GUID& set, ULONG id) const;
  const KSPROPERTY_ITEM* findStreamProperty(ULONG streamNumber, const GUID& set, ULONG id) const;

  // Requests below need a started device (else STATUS_INVALID_DEVICE_STATE,
  // without reaching the minidriver).
  Result command(SRB_COMMAND command);  // a device request without data
  Result setPowerState(DEVICE_POWER_STATE state);
  // SRB_GET_DATA_INTERSECTION with a copy of range (range->FormatSize bytes) and
  // an output buffer of outSize bytes, copied back to out.
  Result dataIntersection(ULONG streamNumber, const KSDATARANGE* range, void* out, ULONG outSize);
  Result getProperty(const void* property, ULONG propertySize, void* data, ULONG dataSize);
  Result setProperty(const void* property, ULONG propertySize, void* data, ULONG dataSize);
  template <class T>
  Result getProperty(T& value) { return getProperty(&value, sizeof(T), &value, sizeof(T)); }
  template <class T>
  Result setProperty(T& value) { return setProperty(&value, sizeof(T), &value, sizeof(T)); }

  // SRB_OPEN_STREAM with a copy of format (format->FormatSize bytes). On
  // failure returns nullptr and the status in *status.
  std::unique_ptr<Stream> openStream(ULONG streamNumber, const KSDATAFORMAT* format, NTSTATUS* status = nullptr);

 private:
  friend class StreamClass;
  Device(StreamClass& owner, std::shared_ptr<DeviceState> state);
  StreamClass& class_;
  std::shared_ptr<DeviceState> state_;
};

class StreamClass {
 public:
  // One class at a time (the class services reach the current one).
  explicit StreamClass(Kernel& kernel, ClassOptions options = {});
  ~StreamClass();
  StreamClass(const StreamClass&) = delete;
  StreamClass& operator=(const StreamClass&) = delete;

  static StreamClass* currentOrNull();

  // Calls entry(driver object, registry path) at PASSIVE_LEVEL and returns its
  // status; a minidriver that returns success without registering is a
  // violation. One minidriver per class.
  NTSTATUS loadDriver(PDRIVER_INITIALIZE entry, const std::wstring& registryPath);
  bool registered() const;
  const HW_INITIALIZATION_DATA& registration() const;  // valid once registered
  PDRIVER_OBJECT driverObject() const;

  // A device for the camera whose physical device object is given (from the USB
  // hub). The device is not started yet.
  std::unique_ptr<Device> addDevice(PDEVICE_OBJECT physicalDeviceObject);

  std::vector<std::string> violations() const;
  void clearViolations();

  Kernel& kernel() { return kernel_; }
  const ClassOptions& options() const { return options_; }

  // Entry points of the class services (ks/stream_class.h).
  NTSTATUS registerAdapter(PVOID driverObject, PHW_INITIALIZATION_DATA data);
  void deviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE type, PVOID deviceExtension,
                          PHW_STREAM_REQUEST_BLOCK srb);
  void streamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE type, PHW_STREAM_OBJECT streamObject,
                          PHW_STREAM_REQUEST_BLOCK srb);
  void queryMasterClock(HANDLE clock, PHW_TIME_CONTEXT context);
  void expireTimeouts();  // the once-a-second time-out DPC

 private:
  friend class Request;
  friend class Device;
  friend class Stream;
  friend class MasterClock;
  friend struct Plumbing;
  struct Impl;
  void violation(const std::string& message);
  Kernel& kernel_;
  ClassOptions options_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace torvex::platform::ks
