// Simulated full-speed host controller and root hub (see usb/host.h).
//
// Every request handed to a PDO is recorded as pending with a cancel routine and
// processed on the controller's thread. A request is completed by whoever takes
// it out of `pending` under the controller lock: the processing path, the cancel
// routine, abort, unplug. If the cancel routine was already claimed by IoCancelIrp
// when the processing path takes a request, the request moves to `cancelling` and
// the cancel routine completes it.
#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <set>

#include "usb/host.h"

namespace torvex::platform::usb {

namespace {
constexpr int64_t kFrameTicks = 10'000;  // 1 ms in 100 ns units

NTSTATUS NtStatusFor(USBD_STATUS s) {
  if (USBD_SUCCESS(s)) return STATUS_SUCCESS;
  if (s == USBD_STATUS_CANCELED) return STATUS_CANCELLED;
  if (s == USBD_STATUS_DEVICE_GONE) return STATUS_NO_SUCH_DEVICE;
  if (s == USBD_STATUS_INVALID_PARAMETER || s == USBD_STATUS_INVALID_URB_FUNCTION ||
      s == USBD_STATUS_INVALID_PIPE_HANDLE || s == USBD_STATUS_BAD_START_FRAME)
    return STATUS_INVALID_PARAMETER;
  return STATUS_UNSUCCESSFUL;
}

std::string Hex(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%X", v);
  return b;
}
}  // namespace

struct Attachment;

struct Pipe {
  USBD_PIPE_HANDLE handle = nullptr;
  EndpointInfo endpoint;
  uint8_t interfaceNumber = 0;
  bool halted = false;
  uint32_t nextFreeFrame = 0;
  std::deque<PIRP> queue;  // isochronous transfers in submission order
};

struct Request {
  PIRP irp = nullptr;
  Attachment* attachment = nullptr;
  ULONG ioctl = 0;
  PURB urb = nullptr;
  Pipe* pipe = nullptr;  // isochronous transfers
  uint32_t startFrame = 0;
  uint32_t packets = 0;
  bool isControl = false;
  bool started = false;      // control request being answered
  TaskId delayedAnswer = 0;  // control answer scheduled for later
};

struct Attachment {
  HostController::Impl* hc = nullptr;
  int port = 0;
  DEVICE_OBJECT pdo{};
  std::shared_ptr<DeviceModel> device;
  bool connected = true;
  bool enabled = true;
  bool configured = false;
  ConfigurationInfo config;
  USBD_CONFIGURATION_HANDLE configHandle = nullptr;
  std::map<uint8_t, uint8_t> alternate;      // interface -> selected alternate setting
  std::map<uint8_t, uint32_t> reserved;      // interface -> bytes per frame
  std::vector<std::unique_ptr<Pipe>> pipes;  // of the selected settings
  std::deque<PIRP> controlQueue;             // control transfers, the head is being answered
};

struct Completion {
  PIRP irp;
  PURB urb;
  USBD_STATUS status;
};

struct HostController::Impl {
  Impl(Kernel& k, HostControllerOptions o) : kernel(k), options(o) {}

  Kernel& kernel;
  HostControllerOptions options;
  std::unique_ptr<SystemThread> thread;
  mutable std::mutex mu;
  DRIVER_OBJECT driver{};
  std::vector<std::unique_ptr<Attachment>> attachments;  // every plug, kept until destruction
  std::vector<Attachment*> ports;
  std::map<PIRP, std::unique_ptr<Request>> pending;
  std::map<PIRP, PURB> cancelling;
  uint32_t inUse = 0;
  bool tickScheduled = false;
  uintptr_t nextHandle = 0x1000;
  std::vector<std::string> logLines;

  uint32_t frameNow() const { return static_cast<uint32_t>(kernel.now() / kFrameTicks); }
  void logLocked(const Attachment& a, const std::string& line) {
    logLines.push_back("port " + std::to_string(a.port) + " " + line);
  }

  // --- ownership of requests (mu held) ---
  std::unique_ptr<Request> removeLocked(PIRP irp);
  bool takeLocked(PIRP irp, USBD_STATUS status, std::vector<Completion>& out);
  void failAllLocked(Attachment& a, USBD_STATUS status, std::vector<Completion>& out);
  void failPipeLocked(Pipe& pipe, USBD_STATUS headStatus, USBD_STATUS restStatus, std::vector<Completion>& out);
  static void finish(const std::vector<Completion>& done);
  void finishElsewhere(std::vector<Completion> done);

  // --- processing on the controller thread ---
  void start(PIRP irp);
  USBD_STATUS selectConfiguration(Attachment& a, PURB urb, size_t length, const std::vector<uint8_t>& bytes);
  USBD_STATUS selectInterface(Attachment& a, PURB urb, size_t length);
  USBD_STATUS queueIsochronous(Attachment& a, Request& r);
  void runControl(Attachment* a);
  void answerControl(PIRP irp, ControlReply reply);
  void scheduleTickLocked();
  void tick(uint32_t frame);
  void unplugLocked(Attachment& a, std::vector<Completion>& out);
  Pipe* pipeLocked(Attachment& a, USBD_PIPE_HANDLE handle);
  Attachment* portLocked(int port) const;
  void releaseBandwidthLocked(Attachment& a);
  void dropConfigurationLocked(Attachment& a);
};

namespace {
Attachment* AttachmentOf(PDEVICE_OBJECT device) { return static_cast<Attachment*>(device->DeviceExtension); }

VOID HubCancel(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  auto* hc = AttachmentOf(device)->hc;
  std::vector<Completion> done;
  {
    std::lock_guard lock(hc->mu);
    if (auto it = hc->cancelling.find(irp); it != hc->cancelling.end()) {
      done.push_back({irp, it->second, USBD_STATUS_CANCELED});
      hc->cancelling.erase(it);
    } else if (auto r = hc->removeLocked(irp)) {
      done.push_back({irp, r->urb, USBD_STATUS_CANCELED});
      hc->logLocked(*r->attachment, "request cancelled");
    }
  }
  hc->finishElsewhere(std::move(done));
}

NTSTATUS HubDispatchInternal(PDEVICE_OBJECT device, PIRP irp) {
  Attachment* a = AttachmentOf(device);
  auto* hc = a->hc;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  auto request = std::make_unique<Request>();
  request->irp = irp;
  request->attachment = a;
  request->ioctl = stack->Parameters.DeviceIoControl.IoControlCode;
  if (request->ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB) request->urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
  IoMarkIrpPending(irp);
  std::vector<Completion> done;
  {
    std::lock_guard lock(hc->mu);
    hc->pending[irp] = std::move(request);
    IoSetCancelRoutine(irp, HubCancel);
    if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, nullptr)) {
      auto r = hc->removeLocked(irp);
      done.push_back({irp, r->urb, USBD_STATUS_CANCELED});
    }
  }
  if (!done.empty()) {
    hc->finishElsewhere(std::move(done));
  } else {
    hc->thread->post([hc, irp] { hc->start(irp); });
  }
  return STATUS_PENDING;
}

NTSTATUS HubDispatchOther(PDEVICE_OBJECT, PIRP irp) {
  // Plug and play and power requests to the hub's PDO have nothing to do here.
  UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  NTSTATUS status = irp->IoStatus.Status;
  if (major == IRP_MJ_POWER) status = STATUS_SUCCESS;
  if (major != IRP_MJ_PNP && major != IRP_MJ_POWER) status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}
}  // namespace

// ---------------------------------------------------------------------------
// Ownership.

std::unique_ptr<Request> HostController::Impl::removeLocked(PIRP irp) {
  auto it = pending.find(irp);
  if (it == pending.end()) return nullptr;
  std::unique_ptr<Request> r = std::move(it->second);
  pending.erase(it);
  Attachment& a = *r->attachment;
  if (r->pipe) {
    auto& q = r->pipe->queue;
    q.erase(std::remove(q.begin(), q.end(), irp), q.end());
  }
  if (r->isControl) {
    bool wasHead = !a.controlQueue.empty() && a.controlQueue.front() == irp;
    a.controlQueue.erase(std::remove(a.controlQueue.begin(), a.controlQueue.end(), irp), a.controlQueue.end());
    if (r->delayedAnswer) thread->cancel(r->delayedAnswer);
    if (wasHead && !a.controlQueue.empty()) thread->post([this, att = &a] { runControl(att); });
  }
  return r;
}

bool HostController::Impl::takeLocked(PIRP irp, USBD_STATUS status, std::vector<Completion>& out) {
  auto r = removeLocked(irp);
  if (!r) return false;
  if (!IoSetCancelRoutine(irp, nullptr)) {
    // IoCancelIrp owns the cancel routine now; it will complete the request.
    cancelling[irp] = r->urb;
    return false;
  }
  out.push_back({irp, r->urb, status});
  return true;
}

void HostController::Impl::finish(const std::vector<Completion>& done) {
  for (const Completion& c : done) {
    if (c.urb) c.urb->UrbHeader.Status = c.status;
    c.irp->IoStatus.Status = NtStatusFor(c.status);
    IoCompleteRequest(c.irp, IO_NO_INCREMENT);
  }
}

void HostController::Impl::finishElsewhere(std::vector<Completion> done) {
  if (done.empty()) return;
  thread->post([done = std::move(done)] { finish(done); });
}

void HostController::Impl::failPipeLocked(Pipe& pipe, USBD_STATUS headStatus, USBD_STATUS restStatus,
                                         std::vector<Completion>& out) {
  std::deque<PIRP> queue = pipe.queue;
  bool head = true;
  for (PIRP irp : queue) {
    takeLocked(irp, head ? headStatus : restStatus, out);
    head = false;
  }
  pipe.nextFreeFrame = 0;
}

void HostController::Impl::failAllLocked(Attachment& a, USBD_STATUS status, std::vector<Completion>& out) {
  std::vector<PIRP> irps;
  for (auto& [irp, r] : pending)
    if (r->attachment == &a) irps.push_back(irp);
  // Isochronous transfers first in pipe order, so each pipe's transfers complete in submission order.
  for (auto& pipe : a.pipes) {
    for (PIRP irp : std::deque<PIRP>(pipe->queue)) takeLocked(irp, status, out);
    pipe->nextFreeFrame = 0;
  }
  for (PIRP irp : irps) takeLocked(irp, status, out);
}

void HostController::Impl::releaseBandwidthLocked(Attachment& a) {
  for (auto& [itf, bytes] : a.reserved) inUse -= bytes;
  a.reserved.clear();
}

// Cancels what the pipes of the current configuration hold, gives back its
// bandwidth and forgets its pipes and alternate settings.
void HostController::Impl::dropConfigurationLocked(Attachment& a) {
  std::vector<Completion> aborted;
  for (auto& pipe : a.pipes) failPipeLocked(*pipe, USBD_STATUS_CANCELED, USBD_STATUS_CANCELED, aborted);
  finishElsewhere(std::move(aborted));
  releaseBandwidthLocked(a);
  a.pipes.clear();
  a.alternate.clear();
}

void HostController::Impl::unplugLocked(Attachment& a, std::vector<Completion>& out) {
  if (!a.connected) return;
  a.connected = false;
  a.enabled = false;
  releaseBandwidthLocked(a);
  failAllLocked(a, USBD_STATUS_DEVICE_GONE, out);
  logLocked(a, "unplugged");
}

Attachment* HostController::Impl::portLocked(int port) const {
  if (port < 1 || port > static_cast<int>(ports.size())) return nullptr;
  return ports[port - 1];
}

Pipe* HostController::Impl::pipeLocked(Attachment& a, USBD_PIPE_HANDLE handle) {
  for (auto& p : a.pipes)
    if (p->handle == handle) return p.get();
  return nullptr;
}

// ---------------------------------------------------------------------------
// Processing.

void HostController::Impl::start(PIRP irp) {
  std::vector<Completion> done;
  std::function<void()> notify;
  // A configuration is selected against the device's own descriptor, fetched
  // before taking the lock (device callbacks never run under it).
  std::vector<uint8_t> configBytes;
  std::shared_ptr<DeviceModel> device;
  {
    std::lock_guard lock(mu);
    auto it = pending.find(irp);
    if (it == pending.end()) return;
    PURB urb = it->second->urb;
    if (it->second->ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB && urb && urb->UrbHeader.Length >= sizeof(_URB_HEADER) &&
        urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION)
      device = it->second->attachment->device;
  }
  if (device) configBytes = device->configurationDescriptor();
  {
    std::lock_guard lock(mu);
    auto it = pending.find(irp);
    if (it == pending.end()) return;  // cancelled meanwhile
    Request& r = *it->second;
    Attachment& a = *r.attachment;
    auto complete = [&](USBD_STATUS status) { takeLocked(irp, status, done); };

    if (r.ioctl == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
      auto* bits = static_cast<PULONG>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
      if (!bits) {
        complete(USBD_STATUS_INVALID_PARAMETER);
      } else {
        *bits = (a.connected ? USBD_PORT_CONNECTED : 0) | (a.enabled ? USBD_PORT_ENABLED : 0);
        logLocked(a, "GET_PORT_STATUS " + Hex(*bits));
        complete(USBD_STATUS_SUCCESS);
      }
    } else if (r.ioctl == IOCTL_INTERNAL_USB_ENABLE_PORT) {
      logLocked(a, "ENABLE_PORT");
      if (!a.connected) {
        complete(USBD_STATUS_DEVICE_GONE);
      } else {
        a.enabled = true;
        notify = [d = a.device] { d->portEnabled(); };
        complete(USBD_STATUS_SUCCESS);
      }
    } else if (r.ioctl != IOCTL_INTERNAL_USB_SUBMIT_URB) {
      logLocked(a, "unsupported control code " + Hex(r.ioctl));
      complete(USBD_STATUS_NOT_SUPPORTED);
    } else if (!r.urb || r.urb->UrbHeader.Length < sizeof(_URB_HEADER)) {
      logLocked(a, "URB missing or too short");
      r.urb = nullptr;  // too short to carry a status
      complete(USBD_STATUS_INVALID_PARAMETER);
    } else if (!a.connected) {
      complete(USBD_STATUS_DEVICE_GONE);
    } else {
      PURB urb = r.urb;
      size_t length = urb->UrbHeader.Length;
      USHORT function = urb->UrbHeader.Function;
      auto sized = [&](size_t need) {
        if (length >= need) return true;
        logLocked(a, "URB function " + Hex(function) + " shorter than its structure");
        complete(USBD_STATUS_INVALID_PARAMETER);
        return false;
      };
      switch (function) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
          if (!sized(offsetof(_URB_SELECT_CONFIGURATION, Interface))) break;
          if (!a.enabled) {
            complete(USBD_STATUS_DEV_NOT_RESPONDING);
            break;
          }
          {
            USBD_STATUS s = selectConfiguration(a, urb, length, configBytes);
            if (USBD_SUCCESS(s)) {
              std::vector<std::pair<uint8_t, uint8_t>> alts(a.alternate.begin(), a.alternate.end());
              notify = [d = a.device, value = a.configured ? a.config.configurationValue : uint8_t{0}, alts] {
                d->configurationSelected(value);
                for (auto [itf, alt] : alts) d->alternateSettingSelected(itf, alt);
              };
            }
            complete(s);
          }
          break;
        case URB_FUNCTION_SELECT_INTERFACE:
          if (!sized(offsetof(_URB_SELECT_INTERFACE, Interface) + offsetof(USBD_INTERFACE_INFORMATION, Pipes))) break;
          if (!a.enabled) {
            complete(USBD_STATUS_DEV_NOT_RESPONDING);
            break;
          }
          {
            USBD_STATUS s = selectInterface(a, urb, length);
            if (USBD_SUCCESS(s)) {
              notify = [d = a.device, itf = urb->UrbSelectInterface.Interface.InterfaceNumber,
                        alt = urb->UrbSelectInterface.Interface.AlternateSetting] {
                d->alternateSettingSelected(itf, alt);
              };
            }
            // Pipes of the old setting were aborted by the selection.
            complete(s);
          }
          break;
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_RESET_PIPE: {
          if (!sized(sizeof(_URB_PIPE_REQUEST))) break;
          Pipe* pipe = pipeLocked(a, urb->UrbPipeRequest.PipeHandle);
          if (!pipe) {
            logLocked(a, std::string(function == URB_FUNCTION_ABORT_PIPE ? "ABORT_PIPE" : "RESET_PIPE") +
                             ": unknown pipe handle");
            complete(USBD_STATUS_INVALID_PIPE_HANDLE);
            break;
          }
          uint8_t address = pipe->endpoint.address;
          if (function == URB_FUNCTION_ABORT_PIPE) {
            logLocked(a, "ABORT_PIPE " + Hex(address) + " (" + std::to_string(pipe->queue.size()) + " pending)");
            failPipeLocked(*pipe, USBD_STATUS_CANCELED, USBD_STATUS_CANCELED, done);
            notify = [d = a.device, address] { d->pipeAborted(address); };
          } else {
            logLocked(a, "RESET_PIPE " + Hex(address));
            pipe->halted = false;
            if (pipe->queue.empty()) pipe->nextFreeFrame = 0;
            notify = [d = a.device, address] { d->pipeReset(address); };
          }
          complete(USBD_STATUS_SUCCESS);
          break;
        }
        case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
          if (!sized(sizeof(_URB_FRAME_NUMBER))) break;
          urb->UrbGetCurrentFrameNumber.FrameNumber = frameNow();
          complete(USBD_STATUS_SUCCESS);
          break;
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_VENDOR_INTERFACE:
        case URB_FUNCTION_VENDOR_ENDPOINT:
        case URB_FUNCTION_CLASS_DEVICE:
        case URB_FUNCTION_CLASS_INTERFACE:
        case URB_FUNCTION_CLASS_ENDPOINT: {
          size_t need = function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ? sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)
                                                                           : sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
          if (!sized(need)) break;
          if (!a.enabled) {
            complete(USBD_STATUS_DEV_NOT_RESPONDING);
            break;
          }
          r.isControl = true;
          a.controlQueue.push_back(irp);
          if (a.controlQueue.size() == 1) thread->post([this, att = &a] { runControl(att); });
          break;
        }
        case URB_FUNCTION_ISOCH_TRANSFER: {
          if (!sized(sizeof(_URB_ISOCH_TRANSFER))) break;
          USBD_STATUS s = a.enabled ? queueIsochronous(a, r) : USBD_STATUS_DEV_NOT_RESPONDING;
          if (!USBD_SUCCESS(s)) complete(s);
          break;
        }
        default:
          logLocked(a, "unsupported URB function " + Hex(function));
          complete(USBD_STATUS_INVALID_URB_FUNCTION);
          break;
      }
    }
  }
  if (notify) notify();
  finish(done);
}

USBD_STATUS HostController::Impl::selectConfiguration(Attachment& a, PURB urb, size_t length,
                                                     const std::vector<uint8_t>& bytes) {
  auto& sc = urb->UrbSelectConfiguration;
  if (!sc.ConfigurationDescriptor) {
    dropConfigurationLocked(a);
    a.configured = false;
    logLocked(a, "SELECT_CONFIGURATION none");
    return USBD_STATUS_SUCCESS;
  }
  ConfigurationInfo config;
  std::string why;
  if (!ParseConfiguration(bytes, config, &why)) {
    logLocked(a, "SELECT_CONFIGURATION: device configuration descriptor is malformed: " + why);
    return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
  }
  // Walk the interface informations of the URB, each within the URB's length.
  struct Choice {
    PUSBD_INTERFACE_INFORMATION info;
    const InterfaceInfo* itf;
  };
  std::vector<Choice> choices;
  size_t offset = offsetof(_URB_SELECT_CONFIGURATION, Interface);
  uint32_t bandwidth = 0;
  for (int i = 0; i < config.numInterfaces; ++i) {
    if (offset + offsetof(USBD_INTERFACE_INFORMATION, Pipes) > length) {
      logLocked(a, "SELECT_CONFIGURATION: URB has no room for interface " + std::to_string(i));
      return USBD_STATUS_INVALID_PARAMETER;
    }
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t*>(urb) + offset);
    auto match = std::find_if(config.interfaces.begin(), config.interfaces.end(), [&](const InterfaceInfo& itf) {
      return itf.number == info->InterfaceNumber && itf.alternateSetting == info->AlternateSetting;
    });
    if (match == config.interfaces.end()) {
      logLocked(a, "SELECT_CONFIGURATION: no interface " + std::to_string(info->InterfaceNumber) + " alt " +
                       std::to_string(info->AlternateSetting));
      return USBD_STATUS_INVALID_PARAMETER;
    }
    size_t need = GET_USBD_INTERFACE_SIZE(static_cast<ULONG>(match->endpoints.size()));
    if (info->Length < need || offset + info->Length > length) {
      logLocked(a, "SELECT_CONFIGURATION: interface information too small for its pipes");
      return USBD_STATUS_INVALID_PARAMETER;
    }
    for (const auto& ep : match->endpoints)
      if ((ep.attributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_ISOCHRONOUS) bandwidth += ep.maxPacketSize;
    choices.push_back({info, &*match});
    offset += info->Length;
  }
  uint32_t othersInUse = inUse;
  for (auto& [itf, bytes] : a.reserved) othersInUse -= bytes;
  if (bandwidth > options.isochronousBudget - std::min(othersInUse, options.isochronousBudget)) {
    logLocked(a, "SELECT_CONFIGURATION: no bandwidth for " + std::to_string(bandwidth) + " bytes per frame");
    return USBD_STATUS_NO_BANDWIDTH;
  }
  dropConfigurationLocked(a);
  a.config = config;
  a.configured = true;
  a.configHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(nextHandle++);
  sc.ConfigurationHandle = a.configHandle;
  for (const Choice& c : choices) {
    uint32_t bytes = 0;
    c.info->Class = c.itf->interfaceClass;
    c.info->SubClass = c.itf->subClass;
    c.info->Protocol = c.itf->protocol;
    c.info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(nextHandle++);
    c.info->NumberOfPipes = static_cast<ULONG>(c.itf->endpoints.size());
    for (size_t p = 0; p < c.itf->endpoints.size(); ++p) {
      auto pipe = std::make_unique<Pipe>();
      pipe->handle = reinterpret_cast<USBD_PIPE_HANDLE>(nextHandle++);
      pipe->endpoint = c.itf->endpoints[p];
      pipe->interfaceNumber = c.itf->number;
      auto& pi = c.info->Pipes[p];
      pi.MaximumPacketSize = pipe->endpoint.maxPacketSize;
      pi.EndpointAddress = pipe->endpoint.address;
      pi.Interval = pipe->endpoint.interval;
      pi.PipeType = static_cast<USBD_PIPE_TYPE>(pipe->endpoint.attributes & USB_ENDPOINT_TYPE_MASK);
      pi.PipeHandle = pipe->handle;
      if (pi.PipeType == UsbdPipeTypeIsochronous) bytes += pipe->endpoint.maxPacketSize;
      a.pipes.push_back(std::move(pipe));
    }
    a.alternate[c.itf->number] = c.itf->alternateSetting;
    a.reserved[c.itf->number] = bytes;
    inUse += bytes;
  }
  logLocked(a, "SELECT_CONFIGURATION " + std::to_string(config.configurationValue) + ": ok");
  return USBD_STATUS_SUCCESS;
}

USBD_STATUS HostController::Impl::selectInterface(Attachment& a, PURB urb, size_t length) {
  auto& si = urb->UrbSelectInterface;
  auto& info = si.Interface;
  std::string what = "SELECT_INTERFACE if " + std::to_string(info.InterfaceNumber) + " alt " +
                     std::to_string(info.AlternateSetting);
  if (!a.configured || si.ConfigurationHandle != a.configHandle) {
    logLocked(a, what + ": not configured or wrong configuration handle");
    return USBD_STATUS_INVALID_PARAMETER;
  }
  auto match = std::find_if(a.config.interfaces.begin(), a.config.interfaces.end(), [&](const InterfaceInfo& itf) {
    return itf.number == info.InterfaceNumber && itf.alternateSetting == info.AlternateSetting;
  });
  if (match == a.config.interfaces.end()) {
    logLocked(a, what + ": no such setting");
    return USBD_STATUS_INVALID_PARAMETER;
  }
  size_t need = GET_USBD_INTERFACE_SIZE(static_cast<ULONG>(match->endpoints.size()));
  if (info.Length < need || offsetof(_URB_SELECT_INTERFACE, Interface) + need > length) {
    logLocked(a, what + ": URB too small for the setting's pipes");
    return USBD_STATUS_INVALID_PARAMETER;
  }
  uint32_t bytes = 0;
  for (const auto& ep : match->endpoints)
    if ((ep.attributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_ISOCHRONOUS) bytes += ep.maxPacketSize;
  uint32_t current = a.reserved.count(match->number) ? a.reserved[match->number] : 0;
  uint32_t free = options.isochronousBudget - std::min(inUse - current, options.isochronousBudget);
  if (bytes > free) {
    logLocked(a, what + ": no bandwidth (" + std::to_string(bytes) + " > " + std::to_string(free) + " bytes per frame)");
    return USBD_STATUS_NO_BANDWIDTH;
  }
  // The old setting's pipes go away: their pending transfers are cancelled.
  std::vector<Completion> aborted;
  for (auto it = a.pipes.begin(); it != a.pipes.end();) {
    if ((*it)->interfaceNumber == match->number) {
      failPipeLocked(**it, USBD_STATUS_CANCELED, USBD_STATUS_CANCELED, aborted);
      it = a.pipes.erase(it);
    } else {
      ++it;
    }
  }
  finishElsewhere(std::move(aborted));
  inUse = inUse - current + bytes;
  a.reserved[match->number] = bytes;
  a.alternate[match->number] = match->alternateSetting;
  info.Class = match->interfaceClass;
  info.SubClass = match->subClass;
  info.Protocol = match->protocol;
  info.InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(nextHandle++);
  info.NumberOfPipes = static_cast<ULONG>(match->endpoints.size());
  for (size_t p = 0; p < match->endpoints.size(); ++p) {
    auto pipe = std::make_unique<Pipe>();
    pipe->handle = reinterpret_cast<USBD_PIPE_HANDLE>(nextHandle++);
    pipe->endpoint = match->endpoints[p];
    pipe->interfaceNumber = match->number;
    auto& pi = info.Pipes[p];
    pi.MaximumPacketSize = pipe->endpoint.maxPacketSize;
    pi.EndpointAddress = pipe->endpoint.address;
    pi.Interval = pipe->endpoint.interval;
    pi.PipeType = static_cast<USBD_PIPE_TYPE>(pipe->endpoint.attributes & USB_ENDPOINT_TYPE_MASK);
    pi.PipeHandle = pipe->handle;
    a.pipes.push_back(std::move(pipe));
  }
  logLocked(a, what + ": ok, " + std::to_string(bytes) + " bytes per frame");
  return USBD_STATUS_SUCCESS;
}

USBD_STATUS HostController::Impl::queueIsochronous(Attachment& a, Request& r) {
  auto& iso = r.urb->UrbIsochronousTransfer;
  Pipe* pipe = pipeLocked(a, iso.PipeHandle);
  if (!pipe) {
    logLocked(a, "ISOCH_TRANSFER: unknown pipe handle");
    return USBD_STATUS_INVALID_PIPE_HANDLE;
  }
  ULONG n = iso.NumberOfPackets;
  if ((pipe->endpoint.attributes & USB_ENDPOINT_TYPE_MASK) != USB_ENDPOINT_TYPE_ISOCHRONOUS ||
      !USB_ENDPOINT_DIRECTION_IN(pipe->endpoint.address) || !(iso.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ||
      n == 0 || n > USBD_ISO_MAXIMUM_PACKETS || r.urb->UrbHeader.Length < GET_ISO_URB_SIZE(n) || !iso.TransferBuffer ||
      pipe->endpoint.maxPacketSize == 0) {
    logLocked(a, "ISOCH_TRANSFER: invalid request (" + std::to_string(n) + " packets)");
    return USBD_STATUS_INVALID_PARAMETER;
  }
  for (ULONG i = 0; i < n; ++i) {
    ULONG end = i + 1 < n ? iso.IsoPacket[i + 1].Offset : iso.TransferBufferLength;
    if (iso.IsoPacket[i].Offset >= end || end > iso.TransferBufferLength) {
      logLocked(a, "ISOCH_TRANSFER: packet " + std::to_string(i) + " lies outside the buffer");
      return USBD_STATUS_INVALID_PARAMETER;
    }
  }
  if (pipe->halted) return USBD_STATUS_ENDPOINT_HALTED;
  uint32_t next = frameNow() + 1;
  uint32_t start;
  if (iso.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) {
    start = pipe->queue.empty() ? next : std::max(next, pipe->nextFreeFrame);
  } else {
    start = iso.StartFrame;
    if (start < std::max(next, pipe->queue.empty() ? 0u : pipe->nextFreeFrame)) return USBD_STATUS_BAD_START_FRAME;
  }
  iso.StartFrame = start;
  iso.ErrorCount = 0;
  for (ULONG i = 0; i < n; ++i) {
    iso.IsoPacket[i].Length = 0;
    iso.IsoPacket[i].Status = USBD_STATUS_NOT_ACCESSED;
  }
  r.pipe = pipe;
  r.startFrame = start;
  r.packets = n;
  pipe->nextFreeFrame = start + n;
  pipe->queue.push_back(r.irp);
  scheduleTickLocked();
  return USBD_STATUS_SUCCESS;
}

void HostController::Impl::scheduleTickLocked() {
  if (tickScheduled) return;
  bool any = false;
  for (Attachment* a : ports)
    if (a)
      for (auto& p : a->pipes) any = any || !p->queue.empty();
  if (!any) return;
  tickScheduled = true;
  uint32_t frame = frameNow();
  thread->postAt(static_cast<TimePoint>(frame + 1) * kFrameTicks, [this, frame] { tick(frame); });
}

void HostController::Impl::tick(uint32_t frame) {
  struct Work {
    Attachment* attachment;
    Pipe* pipe;
    PIRP irp;
    ULONG index;
    std::shared_ptr<DeviceModel> device;
  };
  std::vector<Work> work;
  std::vector<Completion> done;
  {
    std::lock_guard lock(mu);
    tickScheduled = false;
    for (Attachment* a : ports) {
      if (!a || !a->connected) continue;
      for (auto& pipe : a->pipes) {
        // Transfers whose frames all passed unseen (only when the thread lags real time).
        while (!pipe->queue.empty()) {
          Request& r = *pending.at(pipe->queue.front());
          if (r.startFrame + r.packets > frame) break;
          takeLocked(r.irp, USBD_STATUS_ISOCH_REQUEST_FAILED, done);
        }
        if (pipe->queue.empty()) continue;
        Request& r = *pending.at(pipe->queue.front());
        if (r.startFrame <= frame) work.push_back({a, pipe.get(), r.irp, frame - r.startFrame, a->device});
      }
    }
  }
  finish(done);
  done.clear();
  for (const Work& w : work) {
    IsoPacket packet = w.device->isochronousIn(w.pipe->endpoint.address, frame, w.pipe->endpoint.maxPacketSize);
    std::lock_guard lock(mu);
    auto it = pending.find(w.irp);
    if (it == pending.end() || !w.attachment->connected) continue;  // cancelled, aborted or unplugged meanwhile
    auto& iso = it->second->urb->UrbIsochronousTransfer;
    auto& desc = iso.IsoPacket[w.index];
    ULONG n = iso.NumberOfPackets;
    ULONG capacity = (w.index + 1 < n ? iso.IsoPacket[w.index + 1].Offset : iso.TransferBufferLength) - desc.Offset;
    USBD_STATUS status = packet.status;
    size_t length = packet.data.size();
    if (length > w.pipe->endpoint.maxPacketSize) {
      status = USBD_STATUS_DATA_OVERRUN;  // babble: the packet is lost
      length = 0;
    } else if (length > capacity) {
      status = USBD_STATUS_BUFFER_OVERRUN;
      length = capacity;
    }
    if (USBD_ERROR(status) && status != USBD_STATUS_BUFFER_OVERRUN) length = 0;
    if (length) std::memcpy(static_cast<uint8_t*>(iso.TransferBuffer) + desc.Offset, packet.data.data(), length);
    desc.Length = static_cast<ULONG>(length);
    desc.Status = status;
    if (USBD_ERROR(status)) iso.ErrorCount++;
    if (status == USBD_STATUS_STALL_PID) {
      w.pipe->halted = true;
      logLocked(*w.attachment, "endpoint " + Hex(w.pipe->endpoint.address) + " stalled");
      failPipeLocked(*w.pipe, USBD_STATUS_STALL_PID, USBD_STATUS_ENDPOINT_HALTED, done);
    } else if (USBD_ERROR(packet.transferStatus)) {
      takeLocked(w.irp, packet.transferStatus, done);
    } else if (w.index + 1 == n) {
      ULONG total = 0;
      for (ULONG i = 0; i < n; ++i) total += iso.IsoPacket[i].Length;
      iso.TransferBufferLength = total;
      takeLocked(w.irp, iso.ErrorCount == n ? USBD_STATUS_ISOCH_REQUEST_FAILED : USBD_STATUS_SUCCESS, done);
    }
    if (packet.busEvent == IsoPacket::BusEvent::DisablePort) {
      w.attachment->enabled = false;
      logLocked(*w.attachment, "port disabled by the device");
      failAllLocked(*w.attachment, USBD_STATUS_DEV_NOT_RESPONDING, done);
    } else if (packet.busEvent == IsoPacket::BusEvent::Unplug) {
      unplugLocked(*w.attachment, done);
    }
  }
  finish(done);
  std::lock_guard lock(mu);
  scheduleTickLocked();
}

void HostController::Impl::runControl(Attachment* a) {
  PIRP irp;
  PURB urb;
  std::shared_ptr<DeviceModel> device;
  SetupPacket setup;
  std::vector<uint8_t> outData;
  {
    std::lock_guard lock(mu);
    if (a->controlQueue.empty()) return;
    irp = a->controlQueue.front();
    Request& r = *pending.at(irp);
    if (r.started) return;
    r.started = true;
    urb = r.urb;
    device = a->device;
    USHORT function = urb->UrbHeader.Function;
    if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
      auto& d = urb->UrbControlDescriptorRequest;
      setup = {0x80, 0x06, static_cast<uint16_t>(d.DescriptorType << 8 | d.Index), d.LanguageId,
               static_cast<uint16_t>(std::min<ULONG>(d.TransferBufferLength, 0xFFFF))};
    } else {
      auto& v = urb->UrbControlVendorClassRequest;
      uint8_t type = (function >= URB_FUNCTION_CLASS_DEVICE) ? 0x20 : 0x40;
      uint8_t recipient = static_cast<uint8_t>((function - URB_FUNCTION_VENDOR_DEVICE) % 3);
      uint8_t direction = (v.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? 0x80 : 0x00;
      setup = {static_cast<uint8_t>(direction | type | recipient | (v.RequestTypeReservedBits & 0x1F)), v.Request,
               v.Value, v.Index, static_cast<uint16_t>(std::min<ULONG>(v.TransferBufferLength, 0xFFFF))};
      if (!setup.directionIn() && v.TransferBuffer) {
        auto* bytes = static_cast<const uint8_t*>(v.TransferBuffer);
        outData.assign(bytes, bytes + setup.wLength);
      }
    }
    logLocked(*a, "control " + Hex(setup.bmRequestType) + " request " + Hex(setup.bRequest) + " value " +
                      Hex(setup.wValue) + " index " + Hex(setup.wIndex) + " length " + std::to_string(setup.wLength));
  }
  ControlReply reply;
  if (urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
    uint8_t type = static_cast<uint8_t>(setup.wValue >> 8);
    uint8_t index = static_cast<uint8_t>(setup.wValue);
    std::vector<uint8_t> bytes;
    if (type == USB_DEVICE_DESCRIPTOR_TYPE && index == 0) bytes = device->deviceDescriptor();
    if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0) bytes = device->configurationDescriptor();
    if (type == USB_STRING_DESCRIPTOR_TYPE) bytes = device->stringDescriptor(index, setup.wIndex);
    reply = bytes.empty() ? ControlReply::stall() : ControlReply::withData(std::move(bytes));
  } else {
    reply = device->controlTransfer(setup, outData);
  }
  if (reply.kind == ControlReply::Kind::NoAnswer) return;  // stays pending until cancelled
  if (reply.delayMs) {
    std::lock_guard lock(mu);
    auto it = pending.find(irp);
    if (it == pending.end()) return;
    it->second->delayedAnswer = thread->postAt(kernel.now() + static_cast<int64_t>(reply.delayMs) * kFrameTicks,
                                               [this, irp, reply] { answerControl(irp, reply); });
    return;
  }
  answerControl(irp, std::move(reply));
}

void HostController::Impl::answerControl(PIRP irp, ControlReply reply) {
  std::vector<Completion> done;
  {
    std::lock_guard lock(mu);
    auto it = pending.find(irp);
    if (it == pending.end()) return;
    PURB urb = it->second->urb;
    it->second->delayedAnswer = 0;
    if (reply.kind == ControlReply::Kind::Stall) {
      logLocked(*it->second->attachment, "control request stalled");
      takeLocked(irp, USBD_STATUS_STALL_PID, done);
    } else {
      // Both control URB forms keep the length and buffer at the same offsets.
      static_assert(offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength) ==
                    offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferLength));
      static_assert(offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, TransferBuffer) ==
                    offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBuffer));
      auto& v = urb->UrbControlVendorClassRequest;
      bool in = urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ||
                (v.TransferFlags & USBD_TRANSFER_DIRECTION_IN);
      if (in) {
        ULONG n = std::min<ULONG>(std::min<ULONG>(v.TransferBufferLength, 0xFFFF), static_cast<ULONG>(reply.data.size()));
        if (n && !v.TransferBuffer) {
          takeLocked(irp, USBD_STATUS_INVALID_PARAMETER, done);
        } else {
          if (n) std::memcpy(v.TransferBuffer, reply.data.data(), n);
          v.TransferBufferLength = n;
          takeLocked(irp, USBD_STATUS_SUCCESS, done);
        }
      } else {
        takeLocked(irp, USBD_STATUS_SUCCESS, done);
      }
    }
  }
  finish(done);
}

// ---------------------------------------------------------------------------
// HostController.

HostController::HostController(Kernel& kernel, HostControllerOptions options)
    : impl_(std::make_unique<Impl>(kernel, options)) {
  impl_->thread = kernel.createSystemThread("usb-host", DISPATCH_LEVEL);
  impl_->ports.assign(static_cast<size_t>(std::max(options.ports, 1)), nullptr);
  impl_->driver.Type = IO_TYPE_DRIVER;
  impl_->driver.Size = sizeof(DRIVER_OBJECT);
  for (auto& f : impl_->driver.MajorFunction) f = HubDispatchOther;
  impl_->driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = HubDispatchInternal;
}

HostController::~HostController() {
  for (int port = 1; port <= static_cast<int>(impl_->ports.size()); ++port) unplug(port);
  impl_->kernel.runUntilIdle();
  impl_->thread.reset();
}

PDEVICE_OBJECT HostController::plug(int port, std::shared_ptr<DeviceModel> device) {
  std::lock_guard lock(impl_->mu);
  if (!device || port < 1 || port > static_cast<int>(impl_->ports.size())) return nullptr;
  if (Attachment* old = impl_->ports[port - 1]; old && old->connected) return nullptr;
  auto a = std::make_unique<Attachment>();
  a->hc = impl_.get();
  a->port = port;
  a->device = std::move(device);
  a->pdo.Type = IO_TYPE_DEVICE;
  a->pdo.Size = sizeof(DEVICE_OBJECT);
  a->pdo.DriverObject = &impl_->driver;
  a->pdo.DeviceExtension = a.get();
  a->pdo.DeviceType = FILE_DEVICE_USB;
  a->pdo.StackSize = 1;
  impl_->ports[port - 1] = a.get();
  impl_->logLocked(*a, "plugged");
  impl_->attachments.push_back(std::move(a));
  return &impl_->attachments.back()->pdo;
}

void HostController::unplug(int port) {
  std::vector<Completion> done;
  std::lock_guard lock(impl_->mu);
  if (Attachment* a = impl_->portLocked(port)) impl_->unplugLocked(*a, done);
  impl_->finishElsewhere(std::move(done));
}

void HostController::disablePort(int port) {
  std::vector<Completion> done;
  std::lock_guard lock(impl_->mu);
  Attachment* a = impl_->portLocked(port);
  if (!a || !a->connected || !a->enabled) return;
  a->enabled = false;
  impl_->logLocked(*a, "port disabled");
  impl_->failAllLocked(*a, USBD_STATUS_DEV_NOT_RESPONDING, done);
  impl_->finishElsewhere(std::move(done));
}

void HostController::stallEndpoint(int port, uint8_t endpointAddress) {
  std::vector<Completion> done;
  std::lock_guard lock(impl_->mu);
  Attachment* a = impl_->portLocked(port);
  if (!a || !a->connected) return;
  for (auto& pipe : a->pipes) {
    if (pipe->endpoint.address != endpointAddress) continue;
    pipe->halted = true;
    impl_->logLocked(*a, "endpoint " + Hex(endpointAddress) + " stalled");
    impl_->failPipeLocked(*pipe, USBD_STATUS_STALL_PID, USBD_STATUS_ENDPOINT_HALTED, done);
  }
  impl_->finishElsewhere(std::move(done));
}

PDEVICE_OBJECT HostController::physicalDevice(int port) const {
  std::lock_guard lock(impl_->mu);
  Attachment* a = impl_->portLocked(port);
  return a ? &a->pdo : nullptr;
}

PortStatus HostController::portStatus(int port) const {
  std::lock_guard lock(impl_->mu);
  Attachment* a = impl_->portLocked(port);
  return a ? PortStatus{a->connected, a->enabled} : PortStatus{};
}

uint32_t HostController::currentFrame() const { return impl_->frameNow(); }

void HostController::setIsochronousBudget(uint32_t bytesPerFrame) {
  std::lock_guard lock(impl_->mu);
  impl_->options.isochronousBudget = bytesPerFrame;
}

uint32_t HostController::bandwidthInUse() const {
  std::lock_guard lock(impl_->mu);
  return impl_->inUse;
}

size_t HostController::pendingRequests() const {
  std::lock_guard lock(impl_->mu);
  return impl_->pending.size() + impl_->cancelling.size();
}

std::vector<std::string> HostController::log() const {
  std::lock_guard lock(impl_->mu);
  return impl_->logLines;
}

}  // namespace torvex::platform::usb
