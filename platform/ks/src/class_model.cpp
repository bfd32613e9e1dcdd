// The streaming class model: requests to the minidriver, protocol checks,
// time-outs, master clocks and the class services.
#include "ks/class_model.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <set>
#include <unordered_map>

namespace torvex::platform::ks {

namespace {

std::atomic<StreamClass*> gCurrentClass{nullptr};

constexpr DEVICE_TYPE FILE_DEVICE_KS = 0x2F;

const char* CommandName(SRB_COMMAND command) {
  switch (command) {
    case SRB_READ_DATA: return "SRB_READ_DATA";
    case SRB_WRITE_DATA: return "SRB_WRITE_DATA";
    case SRB_GET_STREAM_STATE: return "SRB_GET_STREAM_STATE";
    case SRB_SET_STREAM_STATE: return "SRB_SET_STREAM_STATE";
    case SRB_SET_STREAM_PROPERTY: return "SRB_SET_STREAM_PROPERTY";
    case SRB_GET_STREAM_PROPERTY: return "SRB_GET_STREAM_PROPERTY";
    case SRB_INDICATE_MASTER_CLOCK: return "SRB_INDICATE_MASTER_CLOCK";
    case SRB_PROPOSE_DATA_FORMAT: return "SRB_PROPOSE_DATA_FORMAT";
    case SRB_SET_DATA_FORMAT: return "SRB_SET_DATA_FORMAT";
    case SRB_GET_STREAM_INFO: return "SRB_GET_STREAM_INFO";
    case SRB_OPEN_STREAM: return "SRB_OPEN_STREAM";
    case SRB_CLOSE_STREAM: return "SRB_CLOSE_STREAM";
    case SRB_GET_DEVICE_PROPERTY: return "SRB_GET_DEVICE_PROPERTY";
    case SRB_SET_DEVICE_PROPERTY: return "SRB_SET_DEVICE_PROPERTY";
    case SRB_INITIALIZE_DEVICE: return "SRB_INITIALIZE_DEVICE";
    case SRB_CHANGE_POWER_STATE: return "SRB_CHANGE_POWER_STATE";
    case SRB_UNINITIALIZE_DEVICE: return "SRB_UNINITIALIZE_DEVICE";
    case SRB_GET_DATA_INTERSECTION: return "SRB_GET_DATA_INTERSECTION";
    case SRB_INITIALIZATION_COMPLETE: return "SRB_INITIALIZATION_COMPLETE";
    case SRB_PAGING_OUT_DRIVER: return "SRB_PAGING_OUT_DRIVER";
    case SRB_OPEN_DEVICE_INSTANCE: return "SRB_OPEN_DEVICE_INSTANCE";
    case SRB_CLOSE_DEVICE_INSTANCE: return "SRB_CLOSE_DEVICE_INSTANCE";
    case SRB_SURPRISE_REMOVAL: return "SRB_SURPRISE_REMOVAL";
    default: return "SRB command";
  }
}

std::string Describe(const HW_STREAM_REQUEST_BLOCK* srb, SRB_COMMAND command) {
  char text[96];
  std::snprintf(text, sizeof text, "SRB %p (%s 0x%X)", static_cast<const void*>(srb), CommandName(command),
                static_cast<unsigned>(command));
  return text;
}

std::string Pointer(const void* p) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", p);
  return text;
}

// A zeroed byte buffer of an exact size, so that the sanitizers catch overruns.
struct Buffer {
  std::unique_ptr<UCHAR[]> bytes;
  ULONG size = 0;
  void allocate(ULONG n) {
    bytes = std::make_unique<UCHAR[]>(n);
    size = n;
  }
  void assign(const void* source, ULONG n) {
    allocate(n);
    if (n != 0) std::memcpy(bytes.get(), source, n);
  }
  UCHAR* get() const { return bytes.get(); }
};

const KSPROPERTY_ITEM* FindItem(const KSPROPERTY_SET* sets, ULONG setCount, const GUID& set, ULONG id,
                                ULONG* setIndex) {
  for (ULONG i = 0; sets != nullptr && i < setCount; ++i) {
    if (sets[i].Set == nullptr || !IsEqualGUID(*sets[i].Set, set)) continue;
    if (setIndex != nullptr) *setIndex = i;
    for (ULONG k = 0; k < sets[i].PropertiesCount; ++k)
      if (sets[i].PropertyItem[k].PropertyId == id) return &sets[i].PropertyItem[k];
    return nullptr;
  }
  return nullptr;
}

// A get or set flag of a property item is a BOOLEAN or a handler in one union:
// any non-zero byte means supported.
template <class Union>
bool Supported(const Union& flag) {
  UCHAR bytes[sizeof(Union)];
  std::memcpy(bytes, &flag, sizeof bytes);
  return std::any_of(bytes, bytes + sizeof bytes, [](UCHAR b) { return b != 0; });
}

}  // namespace

// ---------------------------------------------------------------------------
// Records.

struct DeviceState {
  Buffer extension;
  PDEVICE_OBJECT fdo = nullptr;
  PDEVICE_OBJECT lower = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  // Guarded by the class mutex.
  Buffer descriptor;
  ULONG streamCount = 0;  // stream informations that fit the descriptor
  bool initialized = false;  // SRB_INITIALIZE_DEVICE was delivered
  bool started = false;
  bool uninitialized = false;
};

struct StreamState {
  std::shared_ptr<DeviceState> device;
  HW_STREAM_OBJECT object{};
  Buffer extension;
  // Guarded by the class mutex.
  bool open = false;
  KSSTATE lastState = KSSTATE_STOP;
};

struct SrbRecord {
  HW_STREAM_REQUEST_BLOCK srb{};
  uint64_t sequence = 0;
  uint64_t completionOrder = 0;  // 1 for the first SRB the class saw completed, and so on
  SRB_COMMAND command = SRB_UNKNOWN_DEVICE_COMMAND;
  Buffer extension;
  Buffer irp;
  PORT_CONFIGURATION_INFORMATION config{};
  std::vector<ACCESS_RANGE> ranges;
  STREAM_PROPERTY_DESCRIPTOR property{};
  STREAM_DATA_INTERSECT_INFO intersect{};
  Buffer input;   // property request, data range or format
  Buffer output;  // property value, intersection result or stream descriptor
  Buffer header;  // reads: KSSTREAM_HEADER and its extended header
  Buffer data;    // reads: the data buffer
  std::shared_ptr<DeviceState> device;
  std::shared_ptr<StreamState> stream;  // stream requests only
  // Guarded by the class mutex.
  bool completed = false;
  bool armed = false;     // the entry point has returned: time-outs count
  bool released = false;  // no Request handle left
  bool orphaned = false;  // reported as left pending; kept for late completions
  KEVENT done;
};

struct StreamClass::Impl {
  mutable std::mutex mutex;
  mutable std::mutex violationMutex;
  std::vector<std::string> violations;

  std::unique_ptr<DRIVER_OBJECT> driverObject;
  DRIVER_EXTENSION driverExtension{};
  std::wstring registryPathText;
  UNICODE_STRING registryPath{};
  bool registered = false;
  HW_INITIALIZATION_DATA init{};

  std::unordered_map<PVOID, std::shared_ptr<DeviceState>> devices;  // by device extension
  std::unordered_map<PHW_STREAM_OBJECT, std::shared_ptr<StreamState>> streams;
  std::unordered_map<const HW_STREAM_REQUEST_BLOCK*, std::shared_ptr<SrbRecord>> srbs;
  std::vector<std::shared_ptr<SrbRecord>> orphans;
  std::set<const MasterClock*> clocks;
  uint64_t nextSequence = 1;
  uint64_t completions = 0;

  KTIMER timer{};
  KDPC dpc{};
  bool timerSet = false;
  bool shuttingDown = false;
};

// ---------------------------------------------------------------------------
// Request plumbing, shared by Device, Stream and the class services.

struct Plumbing {
  static std::shared_ptr<SrbRecord> newRecord(StreamClass& cls, StreamClass::Impl& impl,
                                              const std::shared_ptr<DeviceState>& device,
                                              const std::shared_ptr<StreamState>& stream, SRB_COMMAND command) {
    auto rec = std::make_shared<SrbRecord>();
    rec->command = command;
    rec->device = device;
    rec->stream = stream;
    rec->extension.allocate(impl.init.PerRequestExtensionSize);
    CCHAR stackSize = device->fdo != nullptr ? device->fdo->StackSize : 1;
    if (stackSize < 1) stackSize = 1;
    rec->irp.allocate(static_cast<ULONG>(IoSizeOfIrp(stackSize)));
    IoInitializeIrp(reinterpret_cast<PIRP>(rec->irp.get()), static_cast<USHORT>(rec->irp.size), stackSize);
    KeInitializeEvent(&rec->done, NotificationEvent, FALSE);

    HW_STREAM_REQUEST_BLOCK& srb = rec->srb;
    srb.SizeOfThisPacket = sizeof(HW_STREAM_REQUEST_BLOCK);
    srb.Command = command;
    srb.Status = STATUS_PENDING;  // the minidriver sets the final status
    srb.StreamObject = stream != nullptr ? &stream->object : nullptr;
    srb.HwDeviceExtension = device->extension.get();
    srb.SRBExtension = rec->extension.get();
    srb.TimeoutCounter = cls.options().defaultTimeoutSeconds;
    srb.TimeoutOriginal = cls.options().defaultTimeoutSeconds;
    srb.Irp = reinterpret_cast<PIRP>(rec->irp.get());
    srb.Flags = stream != nullptr ? SRB_HW_FLAGS_STREAM_REQUEST : 0;
    return rec;
  }

  // Delivers the SRB on this thread; counts its time-out once the entry returns.
  static void send(StreamClass::Impl& impl, const std::shared_ptr<SrbRecord>& rec,
                   void (*entry)(PHW_STREAM_REQUEST_BLOCK)) {
    {
      std::lock_guard lock(impl.mutex);
      rec->sequence = impl.nextSequence++;
      impl.srbs[&rec->srb] = rec;
    }
    entry(&rec->srb);
    std::lock_guard lock(impl.mutex);
    if (!rec->completed) {
      rec->armed = true;
      armTimerLocked(impl);
    }
  }

  static void armTimerLocked(StreamClass::Impl& impl) {
    if (impl.timerSet || impl.shuttingDown) return;
    impl.timerSet = true;
    KeSetTimer(&impl.timer, RelativeTime(std::chrono::seconds(1)), &impl.dpc);
  }

  static NTSTATUS wait(StreamClass& cls, StreamClass::Impl& impl, const std::shared_ptr<SrbRecord>& rec) {
    LARGE_INTEGER timeout = RelativeTime(cls.options().requestWaitLimit);
    if (KeWaitForSingleObject(&rec->done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
      cls.violation(Describe(&rec->srb, rec->command) + " still pending after the wait limit");
      return STATUS_IO_TIMEOUT;
    }
    std::lock_guard lock(impl.mutex);
    return rec->srb.Status;
  }

  static void release(StreamClass::Impl& impl, const std::shared_ptr<SrbRecord>& rec) {
    std::lock_guard lock(impl.mutex);
    rec->released = true;
    if (rec->completed && !rec->orphaned) impl.srbs.erase(&rec->srb);
  }

  static Result sendAndWait(StreamClass& cls, StreamClass::Impl& impl, const std::shared_ptr<SrbRecord>& rec,
                            void (*entry)(PHW_STREAM_REQUEST_BLOCK)) {
    send(impl, rec, entry);
    Result result;
    result.status = wait(cls, impl, rec);
    {
      std::lock_guard lock(impl.mutex);
      result.bytes = rec->srb.ActualBytesTransferred;
    }
    release(impl, rec);
    return result;
  }

  // Reports every pending request that matches and keeps it for late completions.
  template <class Match>
  static void orphanPendingLocked(StreamClass& cls, StreamClass::Impl& impl, Match match, const char* when) {
    std::vector<std::shared_ptr<SrbRecord>> pending;
    for (auto& [key, rec] : impl.srbs)
      if (!rec->completed && !rec->orphaned && match(*rec)) pending.push_back(rec);
    std::sort(pending.begin(), pending.end(), [](auto& a, auto& b) { return a->sequence < b->sequence; });
    for (auto& rec : pending) {
      cls.violation(Describe(&rec->srb, rec->command) + " left pending " + when);
      rec->orphaned = true;
      impl.orphans.push_back(rec);
    }
  }

  static Result property(StreamClass& cls, StreamClass::Impl& impl, const std::shared_ptr<DeviceState>& device,
                         const std::shared_ptr<StreamState>& stream, bool set, const void* request,
                         ULONG requestSize, void* data, ULONG dataSize) {
    if (request == nullptr || requestSize < sizeof(KSPROPERTY) || (data == nullptr && dataSize != 0))
      return {STATUS_INVALID_PARAMETER, 0};
    KSPROPERTY header;
    std::memcpy(&header, request, sizeof header);

    const KSPROPERTY_SET* sets = nullptr;
    ULONG setCount = 0;
    {
      std::lock_guard lock(impl.mutex);
      if (!device->started) return {STATUS_INVALID_DEVICE_STATE, 0};
      if (stream != nullptr && !stream->open) return {STATUS_INVALID_DEVICE_STATE, 0};
      auto* descriptor = reinterpret_cast<const HW_STREAM_DESCRIPTOR*>(device->descriptor.get());
      if (stream == nullptr) {
        sets = descriptor->StreamHeader.DevicePropertiesArray;
        setCount = descriptor->StreamHeader.NumDevPropArrayEntries;
      } else if (stream->object.StreamNumber < device->streamCount) {
        const HW_STREAM_INFORMATION& info = (&descriptor->StreamInfo)[stream->object.StreamNumber];
        sets = info.StreamPropertiesArray;
        setCount = info.NumStreamPropArrayEntries;
      }
    }
    ULONG setIndex = ~0u;
    const KSPROPERTY_ITEM* item = FindItem(sets, setCount, header.Set, header.Id, &setIndex);
    if (cls.options().checkPropertyTables) {
      if (item == nullptr) return {STATUS_NOT_FOUND, 0};
      if (!(set ? Supported(item->SetSupported) : Supported(item->GetSupported)))
        return {STATUS_INVALID_DEVICE_REQUEST, 0};
      if (requestSize < item->MinProperty || dataSize < item->MinData) return {STATUS_BUFFER_TOO_SMALL, 0};
    }

    SRB_COMMAND command = stream == nullptr ? (set ? SRB_SET_DEVICE_PROPERTY : SRB_GET_DEVICE_PROPERTY)
                                            : (set ? SRB_SET_STREAM_PROPERTY : SRB_GET_STREAM_PROPERTY);
    auto rec = newRecord(cls, impl, device, stream, command);
    rec->input.assign(request, requestSize);
    reinterpret_cast<KSPROPERTY*>(rec->input.get())->Flags = set ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET;
    rec->output.assign(data, dataSize);
    rec->property.Property = reinterpret_cast<PKSPROPERTY>(rec->input.get());
    rec->property.PropertySetID = setIndex;
    rec->property.PropertyInfo = rec->output.get();
    rec->property.PropertyInputSize = requestSize;
    rec->property.PropertyOutputSize = dataSize;
    rec->srb.CommandData.PropertyInfo = &rec->property;
    Result result = stream != nullptr ? controlRequest(cls, impl, stream, rec) : deviceRequest(cls, impl, rec);
    if (result.status != STATUS_IO_TIMEOUT && dataSize != 0) std::memcpy(data, rec->output.get(), dataSize);
    return result;
  }

  static Result deviceRequest(StreamClass& cls, StreamClass::Impl& impl, const std::shared_ptr<SrbRecord>& rec) {
    return sendAndWait(cls, impl, rec, impl.init.HwReceivePacket);
  }

  static Result controlRequest(StreamClass& cls, StreamClass::Impl& impl, const std::shared_ptr<StreamState>& stream,
                               const std::shared_ptr<SrbRecord>& rec) {
    {
      std::lock_guard lock(impl.mutex);
      if (!stream->open || stream->object.ReceiveControlPacket == nullptr) return {STATUS_INVALID_DEVICE_STATE, 0};
    }
    return sendAndWait(cls, impl, rec, stream->object.ReceiveControlPacket);
  }

  // Calls HwCancelPacket at DISPATCH_LEVEL for a request that is still pending.
  static bool cancel(StreamClass::Impl& impl, const std::shared_ptr<SrbRecord>& rec) {
    PHW_CANCEL_SRB cancelPacket;
    {
      std::lock_guard lock(impl.mutex);
      if (rec->completed) return false;
      cancelPacket = impl.init.HwCancelPacket;
    }
    if (cancelPacket != nullptr) {
      KIRQL oldIrql;
      KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
      cancelPacket(&rec->srb);
      KeLowerIrql(oldIrql);
    }
    return true;
  }

  // Closing a stream goes as it does for an application's handle: the stream is
  // stopped, requests still pending are cancelled and waited for (bounded), and
  // only then does the minidriver get SRB_CLOSE_STREAM. What is still pending
  // then was lost by the minidriver.
  static NTSTATUS closeStream(StreamClass& cls, StreamClass::Impl& impl, const std::shared_ptr<StreamState>& stream) {
    bool stopFirst;
    {
      std::lock_guard lock(impl.mutex);
      if (!stream->open) return STATUS_SUCCESS;
      stopFirst = stream->lastState != KSSTATE_STOP && stream->object.ReceiveControlPacket != nullptr;
    }
    if (stopFirst) {
      auto stop = newRecord(cls, impl, stream->device, stream, SRB_SET_STREAM_STATE);
      stop->srb.CommandData.StreamState = KSSTATE_STOP;
      controlRequest(cls, impl, stream, stop);
    }
    std::vector<std::shared_ptr<SrbRecord>> pending;
    {
      std::lock_guard lock(impl.mutex);
      for (auto& [key, rec] : impl.srbs)
        if (rec->stream == stream && !rec->completed && !rec->orphaned) pending.push_back(rec);
    }
    std::sort(pending.begin(), pending.end(), [](auto& a, auto& b) { return a->sequence < b->sequence; });
    for (auto& rec : pending) cancel(impl, rec);
    const TimePoint deadline = cls.kernel().now() + cls.options().requestWaitLimit.count();
    for (auto& rec : pending) {
      LARGE_INTEGER timeout;
      timeout.QuadPart = -std::max<LONGLONG>(0, deadline - cls.kernel().now());
      KeWaitForSingleObject(&rec->done, Executive, KernelMode, FALSE, &timeout);
    }
    {
      std::lock_guard lock(impl.mutex);
      orphanPendingLocked(cls, impl, [&](const SrbRecord& r) { return r.stream == stream; },
                          "when its stream was closed");
    }
    auto rec = newRecord(cls, impl, stream->device, nullptr, SRB_CLOSE_STREAM);
    rec->srb.StreamObject = &stream->object;
    Result result = deviceRequest(cls, impl, rec);
    std::lock_guard lock(impl.mutex);
    orphanPendingLocked(cls, impl, [&](const SrbRecord& r) { return r.stream == stream; },
                        "when its stream was closed");
    stream->open = false;
    impl.streams.erase(&stream->object);
    return result.status;
  }

  static Result format(StreamClass& cls, StreamClass::Impl& impl, const std::shared_ptr<StreamState>& stream,
                       SRB_COMMAND command, const KSDATAFORMAT* format);
  static std::shared_ptr<SrbRecord> completeLocked(StreamClass& cls, StreamClass::Impl& impl,
                                                   PHW_STREAM_REQUEST_BLOCK srb, bool asStreamRequest,
                                                   const void* notifier);
};

// ---------------------------------------------------------------------------
// MasterClock.

MasterClock::MasterClock(StreamClass& streamClass) : class_(streamClass), origin_(streamClass.kernel().now()) {
  std::lock_guard lock(class_.impl_->mutex);
  class_.impl_->clocks.insert(this);
}

MasterClock::~MasterClock() {
  std::lock_guard lock(class_.impl_->mutex);
  class_.impl_->clocks.erase(this);
}

LONGLONG MasterClock::streamTime() const {
  std::lock_guard lock(mutex_);
  return base_ + (class_.kernel().now() - origin_);
}

void MasterClock::setStreamTime(LONGLONG time) {
  std::lock_guard lock(mutex_);
  base_ = time;
  origin_ = class_.kernel().now();
}

// ---------------------------------------------------------------------------
// Request.

Request::Request(StreamClass* owner, std::shared_ptr<SrbRecord> record) : owner_(owner), record_(std::move(record)) {}

Request& Request::operator=(Request&& other) noexcept {
  if (this != &other) {
    release();
    owner_ = other.owner_;
    record_ = std::move(other.record_);
    other.owner_ = nullptr;
  }
  return *this;
}

Request::~Request() { release(); }

void Request::release() {
  if (record_ != nullptr && owner_ != nullptr) Plumbing::release(*owner_->impl_, record_);
  record_.reset();
}

bool Request::done() const {
  if (record_ == nullptr) return false;
  std::lock_guard lock(owner_->impl_->mutex);
  return record_->completed;
}

NTSTATUS Request::wait() {
  if (record_ == nullptr) return STATUS_INVALID_DEVICE_STATE;
  return Plumbing::wait(*owner_, *owner_->impl_, record_); }

NTSTATUS Request::status() const {
  if (record_ == nullptr) return STATUS_INVALID_DEVICE_STATE;
  std::lock_guard lock(owner_->impl_->mutex);
  return record_->completed ? record_->srb.Status : STATUS_PENDING;
}

ULONG Request::bytes() const {
  std::lock_guard lock(owner_->impl_->mutex);
  return record_->srb.ActualBytesTransferred;
}

uint64_t Request::completionOrder() const {
  std::lock_guard lock(owner_->impl_->mutex);
  return record_->completionOrder;
}

bool Request::cancel() { return record_ != nullptr && Plumbing::cancel(*owner_->impl_, record_); }

PHW_STREAM_REQUEST_BLOCK Request::srb() const { return &record_->srb; }

const KSSTREAM_HEADER& Request::header() const {
  std::lock_guard lock(owner_->impl_->mutex);
  return *reinterpret_cast<const KSSTREAM_HEADER*>(record_->header.get());
}

const KS_FRAME_INFO* Request::frameInfo() const {
  if (record_->header.size < sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)) return nullptr;
  std::lock_guard lock(owner_->impl_->mutex);
  return reinterpret_cast<const KS_FRAME_INFO*>(record_->header.get() + sizeof(KSSTREAM_HEADER));
}

const UCHAR* Request::data() const {
  std::lock_guard lock(owner_->impl_->mutex);
  return record_->data.get();
}

ULONG Request::dataSize() const { return record_->data.size; }

// ---------------------------------------------------------------------------
// Stream.

Stream::Stream(StreamClass& owner, std::shared_ptr<StreamState> state) : class_(owner), state_(std::move(state)) {}

Stream::~Stream() { close(); }

ULONG Stream::number() const { return state_->object.StreamNumber; }
PHW_STREAM_OBJECT Stream::object() const { return &state_->object; }
PVOID Stream::extension() const { return state_->extension.get(); }

bool Stream::isOpen() const {
  std::lock_guard lock(class_.impl_->mutex);
  return state_->open;
}

Result Stream::setState(KSSTATE state) {
  auto rec = Plumbing::newRecord(class_, *class_.impl_, state_->device, state_, SRB_SET_STREAM_STATE);
  rec->srb.CommandData.StreamState = state;
  Result result = Plumbing::controlRequest(class_, *class_.impl_, state_, rec);
  std::lock_guard lock(class_.impl_->mutex);
  if (rec->sequence != 0) state_->lastState = state;  // delivered: kept even when acting on it failed
  return result;
}

Result Stream::getState(KSSTATE* state) {
  auto rec = Plumbing::newRecord(class_, *class_.impl_, state_->device, state_, SRB_GET_STREAM_STATE);
  Result result = Plumbing::controlRequest(class_, *class_.impl_, state_, rec);
  if (state != nullptr) {
    std::lock_guard lock(class_.impl_->mutex);
    *state = rec->srb.CommandData.StreamState;
  }
  return result;
}

Result Stream::setMasterClock(MasterClock* clock) {
  auto rec = Plumbing::newRecord(class_, *class_.impl_, state_->device, state_, SRB_INDICATE_MASTER_CLOCK);
  rec->srb.CommandData.MasterClockHandle = clock != nullptr ? clock->handle() : nullptr;
  return Plumbing::controlRequest(class_, *class_.impl_, state_, rec);
}

Result Plumbing::format(StreamClass& cls, StreamClass::Impl& impl, const std::shared_ptr<StreamState>& stream,
                        SRB_COMMAND command, const KSDATAFORMAT* format) {
  if (format == nullptr || format->FormatSize < sizeof(KSDATAFORMAT)) return {STATUS_INVALID_PARAMETER, 0};
  auto rec = Plumbing::newRecord(cls, impl, stream->device, stream, command);
  rec->input.assign(format, format->FormatSize);
  rec->srb.CommandData.OpenFormat = reinterpret_cast<PKSDATAFORMAT>(rec->input.get());
  rec->srb.NumberOfBytesToTransfer = format->FormatSize;
  return Plumbing::controlRequest(cls, impl, stream, rec);
}

Result Stream::proposeFormat(const KSDATAFORMAT* format) {
  return Plumbing::format(class_, *class_.impl_, state_, SRB_PROPOSE_DATA_FORMAT, format);
}

Result Stream::setFormat(const KSDATAFORMAT* format) {
  return Plumbing::format(class_, *class_.impl_, state_, SRB_SET_DATA_FORMAT, format);
}

Result Stream::getProperty(const void* property, ULONG propertySize, void* data, ULONG dataSize) {
  return Plumbing::property(class_, *class_.impl_, state_->device, state_, false, property, propertySize, data,
                            dataSize);
}

Result Stream::setProperty(const void* property, ULONG propertySize, void* data, ULONG dataSize) {
  return Plumbing::property(class_, *class_.impl_, state_->device, state_, true, property, propertySize, data,
                            dataSize);
}

Result Stream::command(SRB_COMMAND command) {
  auto rec = Plumbing::newRecord(class_, *class_.impl_, state_->device, state_, command);
  return Plumbing::controlRequest(class_, *class_.impl_, state_, rec);
}

Request Stream::read(ULONG dataSize, SRB_COMMAND command) {
  StreamClass::Impl& impl = *class_.impl_;
  {
    std::lock_guard lock(impl.mutex);
    if (!state_->open || state_->object.ReceiveDataPacket == nullptr) return {};
  }
  const ULONG extended = state_->object.StreamHeaderMediaSpecific;
  auto rec = Plumbing::newRecord(class_, impl, state_->device, state_, command);
  rec->header.allocate(static_cast<ULONG>(sizeof(KSSTREAM_HEADER)) + extended);
  rec->data.allocate(dataSize);
  auto* header = reinterpret_cast<KSSTREAM_HEADER*>(rec->header.get());
  header->Size = rec->header.size;
  header->FrameExtent = dataSize;
  header->Data = rec->data.get();
  if (extended >= sizeof(ULONG)) {
    const ULONG extendedSize = extended;  // the extended header announces its own size
    std::memcpy(rec->header.get() + sizeof(KSSTREAM_HEADER), &extendedSize, sizeof extendedSize);
  }
  rec->srb.CommandData.DataBufferArray = header;
  rec->srb.NumberOfBuffers = 1;
  rec->srb.NumberOfBytesToTransfer = dataSize;
  rec->srb.Flags |= SRB_HW_FLAGS_DATA_TRANSFER;
  Plumbing::send(impl, rec, state_->object.ReceiveDataPacket);
  return Request(&class_, rec);
}

NTSTATUS Stream::close() { return Plumbing::closeStream(class_, *class_.impl_, state_); }

// ---------------------------------------------------------------------------
// Device.

Device::Device(StreamClass& owner, std::shared_ptr<DeviceState> state) : class_(owner), state_(std::move(state)) {}

Device::~Device() {
  StreamClass::Impl& impl = *class_.impl_;
  std::vector<std::shared_ptr<StreamState>> open;
  bool uninitialize;
  {
    std::lock_guard lock(impl.mutex);
    for (auto& [object, stream] : impl.streams)
      if (stream->device == state_ && stream->open) open.push_back(stream);
    uninitialize = state_->initialized && !state_->uninitialized;
  }
  std::sort(open.begin(), open.end(), [](auto& a, auto& b) { return a->object.StreamNumber < b->object.StreamNumber; });
  for (auto& stream : open) Plumbing::closeStream(class_, impl, stream);
  if (uninitialize) this->uninitialize();
  {
    std::lock_guard lock(impl.mutex);
    Plumbing::orphanPendingLocked(class_, impl, [&](const SrbRecord& r) { return r.device == state_; },
                                  "when its device was removed");
    impl.devices.erase(state_->extension.get());
  }
  if (state_->lower != nullptr) IoDetachDevice(state_->lower);
  if (state_->fdo != nullptr) IoDeleteDevice(state_->fdo);
}

PVOID Device::extension() const { return state_->extension.get(); }
PDEVICE_OBJECT Device::classDeviceObject() const { return state_->fdo; }

NTSTATUS Device::start(ULONG numberOfAccessRanges) {
  StreamClass::Impl& impl = *class_.impl_;
  auto init = Plumbing::newRecord(class_, impl, state_, nullptr, SRB_INITIALIZE_DEVICE);
  PORT_CONFIGURATION_INFORMATION& config = init->config;
  config.SizeOfThisPacket = sizeof(PORT_CONFIGURATION_INFORMATION);
  config.HwDeviceExtension = state_->extension.get();
  config.ClassDeviceObject = state_->fdo;
  config.PhysicalDeviceObject = state_->lower != nullptr ? state_->lower : state_->pdo;
  config.RealPhysicalDeviceObject = state_->pdo;
  config.AdapterInterfaceType = PNPBus;
  config.InterruptMode = LevelSensitive;
  config.NumberOfAccessRanges = numberOfAccessRanges;
  init->ranges.resize(numberOfAccessRanges);
  config.AccessRanges = numberOfAccessRanges != 0 ? init->ranges.data() : nullptr;
  config.Irp = init->srb.Irp;
  init->srb.CommandData.ConfigInfo = &config;
  Result result = Plumbing::deviceRequest(class_, impl, init);
  {
    std::lock_guard lock(impl.mutex);
    state_->initialized = true;
    state_->uninitialized = false;
  }
  if (!NT_SUCCESS(result.status)) return result.status;

  ULONG descriptorSize;
  {
    std::lock_guard lock(impl.mutex);
    descriptorSize = config.StreamDescriptorSize;
  }
  if (descriptorSize < sizeof(HW_STREAM_HEADER)) {
    class_.violation("StreamDescriptorSize " + std::to_string(descriptorSize) + " is smaller than a stream header (" +
                     std::to_string(sizeof(HW_STREAM_HEADER)) + ")");
    return STATUS_INVALID_BUFFER_SIZE;
  }
  auto info = Plumbing::newRecord(class_, impl, state_, nullptr, SRB_GET_STREAM_INFO);
  info->output.allocate(descriptorSize);
  info->srb.CommandData.StreamBuffer = reinterpret_cast<PHW_STREAM_DESCRIPTOR>(info->output.get());
  info->srb.NumberOfBytesToTransfer = descriptorSize;
  result = Plumbing::deviceRequest(class_, impl, info);
  if (!NT_SUCCESS(result.status)) return result.status;
  {
    std::lock_guard lock(impl.mutex);
    state_->descriptor.assign(info->output.get(), descriptorSize);
    auto* header = reinterpret_cast<const HW_STREAM_HEADER*>(state_->descriptor.get());
    const ULONG room = static_cast<ULONG>((descriptorSize - sizeof(HW_STREAM_HEADER)) / sizeof(HW_STREAM_INFORMATION));
    if (header->NumberOfStreams != 0 && header->SizeOfHwStreamInformation != sizeof(HW_STREAM_INFORMATION))
      class_.violation("SizeOfHwStreamInformation " + std::to_string(header->SizeOfHwStreamInformation) +
                       " is not the size of HW_STREAM_INFORMATION (" + std::to_string(sizeof(HW_STREAM_INFORMATION)) +
                       ")");
    if (header->NumberOfStreams > room)
      class_.violation(std::to_string(header->NumberOfStreams) + " streams do not fit a stream descriptor of " +
                       std::to_string(descriptorSize) + " bytes");
    state_->streamCount = std::min(header->NumberOfStreams, room);
  }
  auto complete = Plumbing::newRecord(class_, impl, state_, nullptr, SRB_INITIALIZATION_COMPLETE);
  result = Plumbing::deviceRequest(class_, impl, complete);
  if (!NT_SUCCESS(result.status)) return result.status;
  std::lock_guard lock(impl.mutex);
  state_->started = true;
  state_->uninitialized = false;
  return STATUS_SUCCESS;
}

bool Device::started() const {
  std::lock_guard lock(class_.impl_->mutex);
  return state_->started;
}

Result Device::uninitialize() {
  auto rec = Plumbing::newRecord(class_, *class_.impl_, state_, nullptr, SRB_UNINITIALIZE_DEVICE);
  Result result = Plumbing::deviceRequest(class_, *class_.impl_, rec);
  std::lock_guard lock(class_.impl_->mutex);
  state_->started = false;
  state_->uninitialized = true;
  return result;
}

const HW_STREAM_HEADER* Device::streamHeader() const {
  std::lock_guard lock(class_.impl_->mutex);
  return reinterpret_cast<const HW_STREAM_HEADER*>(state_->descriptor.get());
}

const HW_STREAM_INFORMATION* Device::streamInfo(ULONG streamNumber) const {
  std::lock_guard lock(class_.impl_->mutex);
  if (streamNumber >= state_->streamCount) return nullptr;
  return &(&reinterpret_cast<const HW_STREAM_DESCRIPTOR*>(state_->descriptor.get())->StreamInfo)[streamNumber];
}

const KSPROPERTY_ITEM* Device::findDeviceProperty(const GUID& set, ULONG id) const {
  const HW_STREAM_HEADER* header = streamHeader();
  if (header == nullptr) return nullptr;
  return FindItem(header->DevicePropertiesArray, header->NumDevPropArrayEntries, set, id, nullptr);
}

const KSPROPERTY_ITEM* Device::findStreamProperty(ULONG streamNumber, const GUID& set, ULONG id) const {
  const HW_STREAM_INFORMATION* info = streamInfo(streamNumber);
  if (info == nullptr) return nullptr;
  return FindItem(info->StreamPropertiesArray, info->NumStreamPropArrayEntries, set, id, nullptr);
}

Result Device::command(SRB_COMMAND command) {
  if (!started()) return {STATUS_INVALID_DEVICE_STATE, 0};
  auto rec = Plumbing::newRecord(class_, *class_.impl_, state_, nullptr, command);
  return Plumbing::deviceRequest(class_, *class_.impl_, rec);
}

Result Device::setPowerState(DEVICE_POWER_STATE state) {
  if (!started()) return {STATUS_INVALID_DEVICE_STATE, 0};
  auto rec = Plumbing::newRecord(class_, *class_.impl_, state_, nullptr, SRB_CHANGE_POWER_STATE);
  rec->srb.CommandData.DeviceState = state;
  return Plumbing::deviceRequest(class_, *class_.impl_, rec);
}

Result Device::dataIntersection(ULONG streamNumber, const KSDATARANGE* range, void* out, ULONG outSize) {
  if (range == nullptr || range->FormatSize < sizeof(KSDATARANGE) || (out == nullptr && outSize != 0))
    return {STATUS_INVALID_PARAMETER, 0};
  if (!started()) return {STATUS_INVALID_DEVICE_STATE, 0};
  auto rec = Plumbing::newRecord(class_, *class_.impl_, state_, nullptr, SRB_GET_DATA_INTERSECTION);
  rec->input.assign(range, range->FormatSize);
  rec->output.allocate(outSize);
  rec->intersect.StreamNumber = streamNumber;
  rec->intersect.DataRange = reinterpret_cast<PKSDATARANGE>(rec->input.get());
  rec->intersect.DataFormatBuffer = outSize != 0 ? rec->output.get() : nullptr;
  rec->intersect.SizeOfDataFormatBuffer = outSize;
  rec->srb.CommandData.IntersectInfo = &rec->intersect;
  Result result = Plumbing::deviceRequest(class_, *class_.impl_, rec);
  if (result.status != STATUS_IO_TIMEOUT && outSize != 0) std::memcpy(out, rec->output.get(), outSize);
  return result;
}

Result Device::getProperty(const void* property, ULONG propertySize, void* data, ULONG dataSize) {
  return Plumbing::property(class_, *class_.impl_, state_, nullptr, false, property, propertySize, data, dataSize);
}

Result Device::setProperty(const void* property, ULONG propertySize, void* data, ULONG dataSize) {
  return Plumbing::property(class_, *class_.impl_, state_, nullptr, true, property, propertySize, data, dataSize);
}

std::unique_ptr<Stream> Device::openStream(ULONG streamNumber, const KSDATAFORMAT* format, NTSTATUS* status) {
  StreamClass::Impl& impl = *class_.impl_;
  auto fail = [&](NTSTATUS s) {
    if (status != nullptr) *status = s;
    return std::unique_ptr<Stream>();
  };
  if (format == nullptr || format->FormatSize < sizeof(KSDATAFORMAT)) return fail(STATUS_INVALID_PARAMETER);
  if (!started()) return fail(STATUS_INVALID_DEVICE_STATE);

  auto stream = std::make_shared<StreamState>();
  stream->device = state_;
  stream->extension.allocate(impl.init.PerStreamExtensionSize);
  stream->object.SizeOfThisPacket = sizeof(HW_STREAM_OBJECT);
  stream->object.StreamNumber = streamNumber;
  stream->object.HwStreamExtension = stream->extension.get();
  stream->object.HwDeviceExtension = state_->extension.get();
  {
    std::lock_guard lock(impl.mutex);
    impl.streams[&stream->object] = stream;
  }
  auto rec = Plumbing::newRecord(class_, impl, state_, nullptr, SRB_OPEN_STREAM);
  rec->srb.StreamObject = &stream->object;
  rec->input.assign(format, format->FormatSize);
  rec->srb.CommandData.OpenFormat = reinterpret_cast<PKSDATAFORMAT>(rec->input.get());
  Result result = Plumbing::deviceRequest(class_, impl, rec);
  std::lock_guard lock(impl.mutex);
  if (!NT_SUCCESS(result.status)) {
    impl.streams.erase(&stream->object);
    return fail(result.status);
  }
  if (stream->object.ReceiveDataPacket == nullptr || stream->object.ReceiveControlPacket == nullptr)
    class_.violation("stream " + std::to_string(streamNumber) + " opened without ReceiveDataPacket and ReceiveControlPacket");
  stream->open = true;
  if (status != nullptr) *status = result.status;
  return std::unique_ptr<Stream>(new Stream(class_, stream));
}

// ---------------------------------------------------------------------------
// StreamClass.

namespace {
void TimeoutTick(PKDPC, PVOID context, PVOID, PVOID);
}

StreamClass::StreamClass(Kernel& kernel, ClassOptions options)
    : kernel_(kernel), options_(options), impl_(std::make_unique<Impl>()) {
  KeInitializeTimer(&impl_->timer);
  KeInitializeDpc(&impl_->dpc, TimeoutTick, this);
  StreamClass* expected = nullptr;
  if (!gCurrentClass.compare_exchange_strong(expected, this)) {
    std::fprintf(stderr, "stream class: only one StreamClass may exist at a time\n");
    std::abort();
  }
}

StreamClass::~StreamClass() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->shuttingDown = true;
    if (!impl_->devices.empty()) violation("the class went away before its devices");
  }
  KeCancelTimer(&impl_->timer);
  KeFlushQueuedDpcs();
  gCurrentClass.store(nullptr);
}

StreamClass* StreamClass::currentOrNull() { return gCurrentClass.load(); }

void StreamClass::violation(const std::string& message) {
  {
    std::lock_guard lock(impl_->violationMutex);
    impl_->violations.push_back(message);
  }
  kernel_.reportViolation("stream class: " + message);
}

std::vector<std::string> StreamClass::violations() const {
  std::lock_guard lock(impl_->violationMutex);
  return impl_->violations;
}

void StreamClass::clearViolations() {
  std::lock_guard lock(impl_->violationMutex);
  impl_->violations.clear();
}

NTSTATUS StreamClass::loadDriver(PDRIVER_INITIALIZE entry, const std::wstring& registryPath) {
  if (entry == nullptr) return STATUS_INVALID_PARAMETER;
  PDRIVER_OBJECT driverObject;
  {
    std::lock_guard lock(impl_->mutex);
    if (impl_->driverObject != nullptr) return STATUS_INVALID_DEVICE_STATE;
    impl_->driverObject = std::make_unique<DRIVER_OBJECT>();
    driverObject = impl_->driverObject.get();
    driverObject->Type = IO_TYPE_DRIVER;
    driverObject->Size = static_cast<CSHORT>(sizeof(DRIVER_OBJECT));
    driverObject->DriverExtension = &impl_->driverExtension;
    driverObject->DriverInit = entry;
    impl_->driverExtension.DriverObject = driverObject;
    impl_->registryPathText = registryPath;
    RtlInitUnicodeString(&impl_->registryPath, impl_->registryPathText.c_str());
  }
  NTSTATUS status = entry(driverObject, &impl_->registryPath);
  if (NT_SUCCESS(status) && !registered()) violation("DriverEntry succeeded without registering with the class");
  return status;
}

bool StreamClass::registered() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->registered;
}

const HW_INITIALIZATION_DATA& StreamClass::registration() const { return impl_->init; }

PDRIVER_OBJECT StreamClass::driverObject() const { return impl_->driverObject.get(); }

std::unique_ptr<Device> StreamClass::addDevice(PDEVICE_OBJECT physicalDeviceObject) {
  if (!registered()) return nullptr;
  auto device = std::make_shared<DeviceState>();
  device->extension.allocate(impl_->init.DeviceExtensionSize);
  if (!NT_SUCCESS(IoCreateDevice(impl_->driverObject.get(), 0, nullptr, FILE_DEVICE_KS, 0, FALSE, &device->fdo)))
    return nullptr;
  device->pdo = physicalDeviceObject;
  if (physicalDeviceObject != nullptr) device->lower = IoAttachDeviceToDeviceStack(device->fdo, physicalDeviceObject);
  device->fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  {
    std::lock_guard lock(impl_->mutex);
    impl_->devices[device->extension.get()] = device;
  }
  return std::unique_ptr<Device>(new Device(*this, device));
}

NTSTATUS StreamClass::registerAdapter(PVOID driverObject, PHW_INITIALIZATION_DATA data) {
  if (data == nullptr) return STATUS_INVALID_PARAMETER;
  std::lock_guard lock(impl_->mutex);
  if (driverObject == nullptr || driverObject != impl_->driverObject.get()) {
    violation("StreamClassRegisterAdapter with a driver object the class did not load: " + Pointer(driverObject));
    return STATUS_INVALID_PARAMETER;
  }
  if (impl_->registered) {
    violation("StreamClassRegisterAdapter called twice");
    return STATUS_INVALID_DEVICE_STATE;
  }
  const ULONG size = data->HwInitializationDataSize;
  if (size != sizeof(HW_INITIALIZATION_DATA) && size != HW_INITIALIZATION_DATA_SIZE_32BIT)
    return STATUS_REVISION_MISMATCH;
  if (data->HwReceivePacket == nullptr) return STATUS_INVALID_PARAMETER;
  if (!data->TurnOffSynchronization) return STATUS_NOT_SUPPORTED;
  impl_->init = *data;
  impl_->registered = true;
  return STATUS_SUCCESS;
}

// Marks the record complete after checking the protocol; returns it to signal,
// or nullptr when the completion is refused.
std::shared_ptr<SrbRecord> Plumbing::completeLocked(StreamClass& cls, StreamClass::Impl& impl,
                                                    PHW_STREAM_REQUEST_BLOCK srb, bool asStreamRequest,
                                                    const void* notifier) {
  auto report = [&](const std::string& message) { cls.violation(message); };
  auto it = impl.srbs.find(srb);
  if (it == impl.srbs.end()) {
    report("completion of an SRB the class does not know: " + Pointer(srb));
    return nullptr;
  }
  std::shared_ptr<SrbRecord> rec = it->second;
  const std::string name = Describe(srb, rec->command);
  if (rec->completed) {
    report(name + " completed twice");
    return nullptr;
  }
  const bool streamRequest = rec->stream != nullptr;
  if (asStreamRequest != streamRequest) {
    report(name + (streamRequest ? " is a stream request completed with DeviceRequestComplete"
                                 : " is a device request completed with StreamRequestComplete"));
    return nullptr;
  }
  const void* owner = streamRequest ? static_cast<const void*>(&rec->stream->object) : rec->device->extension.get();
  if (owner != notifier) {
    report(name + " completed for another " + (streamRequest ? "stream object" : "device extension"));
    return nullptr;
  }
  if (srb->Status == STATUS_PENDING) report(name + " completed with STATUS_PENDING");
  if (rec->orphaned) report(name + " completed after it had been reported as left pending");
  switch (rec->command) {
    case SRB_GET_DEVICE_PROPERTY:
    case SRB_SET_DEVICE_PROPERTY:
    case SRB_GET_STREAM_PROPERTY:
    case SRB_SET_STREAM_PROPERTY:
      if (srb->ActualBytesTransferred > rec->property.PropertyOutputSize)
        report(name + " reports " + std::to_string(srb->ActualBytesTransferred) + " bytes for a buffer of " +
               std::to_string(rec->property.PropertyOutputSize));
      break;
    case SRB_GET_DATA_INTERSECTION:
      if (srb->ActualBytesTransferred > rec->intersect.SizeOfDataFormatBuffer)
        report(name + " reports " + std::to_string(srb->ActualBytesTransferred) + " bytes for a buffer of " +
               std::to_string(rec->intersect.SizeOfDataFormatBuffer));
      break;
    case SRB_READ_DATA:
    case SRB_WRITE_DATA: {
      auto* header = reinterpret_cast<const KSSTREAM_HEADER*>(rec->header.get());
      if (header->Data != rec->data.get() || header->Size != rec->header.size)
        report(name + " changed the stream header's Data or Size");
      if (header->DataUsed > header->FrameExtent)
        report(name + " reports DataUsed " + std::to_string(header->DataUsed) + " beyond FrameExtent " +
               std::to_string(header->FrameExtent));
      break;
    }
    default:
      break;
  }
  rec->completed = true;
  rec->completionOrder = ++impl.completions;
  if (rec->released && !rec->orphaned) impl.srbs.erase(it);
  return rec;
}

namespace {
void TimeoutTick(PKDPC, PVOID context, PVOID, PVOID) {
  auto& cls = *static_cast<StreamClass*>(context);
  cls.expireTimeouts();
}

}  // namespace

void StreamClass::deviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE type, PVOID deviceExtension,
                                     PHW_STREAM_REQUEST_BLOCK srb) {
  std::shared_ptr<SrbRecord> done;
  {
    std::lock_guard lock(impl_->mutex);
    if (impl_->devices.find(deviceExtension) == impl_->devices.end()) {
      violation("StreamClassDeviceNotification with an unknown device extension " + Pointer(deviceExtension));
      return;
    }
    switch (type) {
      case DeviceRequestComplete:
        done = Plumbing::completeLocked(*this, *impl_, srb, false, deviceExtension);
        break;
      case ReadyForNextDeviceRequest:
      case SignalMultipleDeviceEvents:
      case SignalDeviceEvent:
      case DeleteDeviceEvent:
      case SignalMultipleDeviceInstanceEvents:
        break;  // no serialisation and no events here: nothing to do
      default:
        violation("StreamClassDeviceNotification with unknown type " + std::to_string(static_cast<int>(type)));
        break;
    }
  }
  if (done != nullptr) KeSetEvent(&done->done, IO_NO_INCREMENT, FALSE);
}

void StreamClass::streamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE type, PHW_STREAM_OBJECT streamObject,
                                     PHW_STREAM_REQUEST_BLOCK srb) {
  std::shared_ptr<SrbRecord> done;
  {
    std::lock_guard lock(impl_->mutex);
    if (impl_->streams.find(streamObject) == impl_->streams.end()) {
      violation("StreamClassStreamNotification with an unknown stream object " + Pointer(streamObject));
      return;
    }
    switch (type) {
      case StreamRequestComplete:
        done = Plumbing::completeLocked(*this, *impl_, srb, true, streamObject);
        break;
      case ReadyForNextStreamDataRequest:
      case ReadyForNextStreamControlRequest:
      case HardwareStarved:
      case SignalMultipleStreamEvents:
      case SignalStreamEvent:
      case DeleteStreamEvent:
        break;
      default:
        violation("StreamClassStreamNotification with unknown type " + std::to_string(static_cast<int>(type)));
        break;
    }
  }
  if (done != nullptr) KeSetEvent(&done->done, IO_NO_INCREMENT, FALSE);
}

void StreamClass::queryMasterClock(HANDLE clock, PHW_TIME_CONTEXT context) {
  if (context == nullptr) {
    violation("StreamClassQueryMasterClockSync without a time context");
    return;
  }
  std::lock_guard lock(impl_->mutex);
  auto* masterClock = static_cast<const MasterClock*>(clock);
  if (impl_->clocks.count(masterClock) == 0) {
    violation("StreamClassQueryMasterClockSync with an unknown clock handle " + Pointer(clock));
    context->Time = 0;
    context->SystemTime = static_cast<ULONGLONG>(kernel_.now());
    return;
  }
  if (context->Function != TIME_GET_STREAM_TIME)
    violation("StreamClassQueryMasterClockSync supports TIME_GET_STREAM_TIME only");
  context->Time = static_cast<ULONGLONG>(masterClock->streamTime());
  context->SystemTime = static_cast<ULONGLONG>(kernel_.now());
}

// Once a second while requests are pending: count down, call the time-out
// handler for those that reach zero (in the order they were sent).
void StreamClass::expireTimeouts() {
  std::vector<std::shared_ptr<SrbRecord>> expired;
  PHW_REQUEST_TIMEOUT_HANDLER handler;
  {
    std::lock_guard lock(impl_->mutex);
    impl_->timerSet = false;
    for (auto& [key, rec] : impl_->srbs)
      if (!rec->completed && !rec->orphaned && rec->armed && rec->srb.TimeoutCounter != 0)
        if (--rec->srb.TimeoutCounter == 0) expired.push_back(rec);
    handler = impl_->init.HwRequestTimeoutHandler;
  }
  std::sort(expired.begin(), expired.end(), [](auto& a, auto& b) { return a->sequence < b->sequence; });
  for (auto& rec : expired) {
    {
      std::lock_guard lock(impl_->mutex);
      if (rec->completed) continue;
    }
    if (handler != nullptr) handler(&rec->srb);
  }
  std::lock_guard lock(impl_->mutex);
  for (auto& [key, rec] : impl_->srbs)
    if (!rec->completed && !rec->orphaned && rec->armed && rec->srb.TimeoutCounter != 0) {
      Plumbing::armTimerLocked(*impl_);
      break;
    }
}

}  // namespace torvex::platform::ks

// ---------------------------------------------------------------------------
// Class services.

using torvex::platform::Kernel;
using torvex::platform::ks::StreamClass;

namespace {
StreamClass* ClassOrReport(const char* service) {
  StreamClass* cls = StreamClass::currentOrNull();
  if (cls == nullptr && Kernel::currentOrNull() != nullptr)
    Kernel::currentOrNull()->reportViolation(std::string("stream class: ") + service + " called with no class loaded");
  return cls;
}
}  // namespace

NTSTATUS STREAMAPI StreamClassRegisterAdapter(PVOID Argument1, PVOID Argument2, PHW_INITIALIZATION_DATA HwInitializationData) {
  (void)Argument2;
  StreamClass* cls = ClassOrReport("StreamClassRegisterAdapter");
  return cls != nullptr ? cls->registerAdapter(Argument1, HwInitializationData) : STATUS_UNSUCCESSFUL;
}

VOID STREAMAPI StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE NotificationType,
                                             PVOID HwDeviceExtension, ...) {
  PHW_STREAM_REQUEST_BLOCK srb = nullptr;
  if (NotificationType == DeviceRequestComplete) {
    va_list args;
    va_start(args, HwDeviceExtension);
    srb = va_arg(args, PHW_STREAM_REQUEST_BLOCK);
    va_end(args);
  }
  if (StreamClass* cls = ClassOrReport("StreamClassDeviceNotification"))
    cls->deviceNotification(NotificationType, HwDeviceExtension, srb);
}

VOID STREAMAPI StreamClassStreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE NotificationType,
                                             PHW_STREAM_OBJECT StreamObject, ...) {
  PHW_STREAM_REQUEST_BLOCK srb = nullptr;
  if (NotificationType == StreamRequestComplete) {
    va_list args;
    va_start(args, StreamObject);
    srb = va_arg(args, PHW_STREAM_REQUEST_BLOCK);
    va_end(args);
  }
  if (StreamClass* cls = ClassOrReport("StreamClassStreamNotification"))
    cls->streamNotification(NotificationType, StreamObject, srb);
}

VOID STREAMAPI StreamClassQueryMasterClockSync(HANDLE MasterClockHandle, PHW_TIME_CONTEXT TimeContext) {
  if (StreamClass* cls = ClassOrReport("StreamClassQueryMasterClockSync"))
    cls->queryMasterClock(MasterClockHandle, TimeContext);
}
