// A simulated full-speed USB host controller with a root hub, and the interface
// a simulated USB device implements.
//
// Plugging a device into a hub port creates the port's physical device object
// (PDO): the lower device object of the client driver, which receives
// IRP_MJ_INTERNAL_DEVICE_CONTROL requests with IOCTL_INTERNAL_USB_SUBMIT_URB,
// IOCTL_INTERNAL_USB_GET_PORT_STATUS and IOCTL_INTERNAL_USB_ENABLE_PORT.
//
// Threads and time. The controller has its own kernel SystemThread at
// DISPATCH_LEVEL. Every request completes there (IoCompleteRequest at
// DISPATCH_LEVEL), never inside IofCallDriver, and every device-model callback
// runs there, one at a time. Control transfers and pipe requests complete as soon
// as the thread runs (no bus time passes) unless the device delays its answer.
// Isochronous IN transfers follow full-speed timing: bus frame F lasts from
// F ms to F+1 ms of virtual time; each transfer takes one packet per frame,
// the packet of frame F being collected from the device at the end of that frame,
// and the transfer completes at the end of its last frame. Transfers of one
// pipe run back to back in submission order, so they complete one at a time
// in that order. With USBD_START_ISO_TRANSFER_ASAP a transfer starts in the
// frame after the pipe's last scheduled frame, or the next frame when nothing
// is queued. Frame ticks are scheduled only while transfers are queued.
//
// Failures, as the real stack reports them:
// - a stalled endpoint (the device answers a packet with USBD_STATUS_STALL_PID,
//   or the test calls stallEndpoint): the transfer ends with that status and
//   every later transfer of the pipe fails with USBD_STATUS_ENDPOINT_HALTED
//   until URB_FUNCTION_RESET_PIPE;
// - a disabled port: transfers and configuration requests fail with
//   USBD_STATUS_DEV_NOT_RESPONDING / STATUS_UNSUCCESSFUL until
//   IOCTL_INTERNAL_USB_ENABLE_PORT; pipe abort and reset still work;
// - unplugged: pending requests complete with STATUS_NO_SUCH_DEVICE /
//   USBD_STATUS_DEVICE_GONE, new ones fail the same way, GET_PORT_STATUS
//   succeeds with neither bit set. The PDO stays valid until the controller is
//   destroyed; plugging again creates a new PDO.
// - abort pipe: every pending transfer of the pipe completes with
//   STATUS_CANCELLED / USBD_STATUS_CANCELED before the abort request completes.
// - IoCancelIrp on a pending request completes it with STATUS_CANCELLED.
//
// Bandwidth: each selected alternate setting reserves the wMaxPacketSize of each
// of its isochronous endpoints per frame. Selecting a setting that needs more
// than the free budget fails with USBD_STATUS_NO_BANDWIDTH (STATUS_UNSUCCESSFUL)
// and leaves the previous setting selected.
#pragma once

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "kernel/kernel.h"
#include "usb/usb.h"

namespace torvex::platform::usb {

struct SetupPacket {
  uint8_t bmRequestType = 0;
  uint8_t bRequest = 0;
  uint16_t wValue = 0;
  uint16_t wIndex = 0;
  uint16_t wLength = 0;
  bool directionIn() const { return (bmRequestType & 0x80) != 0; }
};

// A device's answer to a control transfer.
struct ControlReply {
  enum class Kind { Data, Stall, NoAnswer };
  Kind kind = Kind::Data;
  std::vector<uint8_t> data;  // IN: the bytes sent (the host takes at most wLength)
  uint32_t delayMs = 0;       // bus time before the answer arrives

  static ControlReply withData(std::vector<uint8_t> bytes, uint32_t delayMs = 0) {
    return {Kind::Data, std::move(bytes), delayMs};
  }
  static ControlReply stall() { return {Kind::Stall, {}, 0}; }
  // The transfer stays pending until it is cancelled, aborted or the device unplugged.
  static ControlReply noAnswer() { return {Kind::NoAnswer, {}, 0}; }
};

// What a device does on the bus in one frame for one isochronous IN endpoint.
struct IsoPacket {
  enum class BusEvent { None, DisablePort, Unplug };
  USBD_STATUS status = USBD_STATUS_SUCCESS;  // USBD_STATUS_STALL_PID halts the endpoint
  std::vector<uint8_t> data;                 // more than wMaxPacketSize is babble (USBD_STATUS_DATA_OVERRUN)
  // Ends the current transfer at this packet with this URB status (an error), e.g. USBD_STATUS_XACT_ERROR.
  USBD_STATUS transferStatus = USBD_STATUS_SUCCESS;
  BusEvent busEvent = BusEvent::None;  // happens after this packet
};

// Implemented by a simulated device. All callbacks run on the host controller's
// thread at DISPATCH_LEVEL, one at a time, never under the controller's lock (a
// callback may call HostController methods, e.g. unplug). A device that is also
// changed from a test thread guards its own state.
class DeviceModel {
 public:
  virtual ~DeviceModel() = default;
  // Descriptors as raw bytes, exactly as the device sends them (may be malformed on purpose).
  virtual std::vector<uint8_t> deviceDescriptor() = 0;
  virtual std::vector<uint8_t> configurationDescriptor() = 0;  // the whole configuration, wTotalLength bytes
  virtual std::vector<uint8_t> stringDescriptor(uint8_t /*index*/, uint16_t /*language*/) { return {}; }
  // Every control transfer that is not a standard descriptor, configuration or
  // interface request (vendor and class requests). outData holds the data stage
  // of a host-to-device request.
  virtual ControlReply controlTransfer(const SetupPacket& setup, std::span<const uint8_t> outData) = 0;
  // The packet of bus frame `frame` for an isochronous IN endpoint of the
  // selected alternate setting. Called only for frames in which the host has a
  // transfer scheduled on that endpoint, in increasing frame order.
  virtual IsoPacket isochronousIn(uint8_t endpointAddress, uint32_t frame, uint16_t maxPacketSize) = 0;
  // Notifications of what the host did.
  virtual void configurationSelected(uint8_t /*configurationValue*/) {}  // 0: unconfigured
  virtual void alternateSettingSelected(uint8_t /*interfaceNumber*/, uint8_t /*alternateSetting*/) {}
  virtual void pipeAborted(uint8_t /*endpointAddress*/) {}
  virtual void pipeReset(uint8_t /*endpointAddress*/) {}
  virtual void portEnabled() {}
};

struct HostControllerOptions {
  int ports = 4;
  uint32_t isochronousBudget = 1100;  // bytes per frame that isochronous endpoints may reserve
};

struct PortStatus {
  bool connected = false;
  bool enabled = false;
};

class HostController {
 public:
  explicit HostController(Kernel& kernel, HostControllerOptions options = {});
  ~HostController();  // unplugs every device; the kernel must outlive it
  HostController(const HostController&) = delete;
  HostController& operator=(const HostController&) = delete;

  // Ports are numbered from 1. plug returns the new PDO; the device must outlive its being plugged.
  PDEVICE_OBJECT plug(int port, std::shared_ptr<DeviceModel> device);
  void unplug(int port);
  void disablePort(int port);
  void stallEndpoint(int port, uint8_t endpointAddress);
  PDEVICE_OBJECT physicalDevice(int port) const;  // nullptr when nothing was ever plugged
  PortStatus portStatus(int port) const;

  uint32_t currentFrame() const;
  void setIsochronousBudget(uint32_t bytesPerFrame);
  uint32_t bandwidthInUse() const;
  // Requests pending in the controller (not yet completed), for tests.
  size_t pendingRequests() const;
  // One line per request the bus saw, e.g. "port 1 SELECT_INTERFACE if 0 alt 3: ok".
  std::vector<std::string> log() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Parsed view of a configuration descriptor, bounds-checked.
struct EndpointInfo {
  uint8_t address = 0;
  uint8_t attributes = 0;
  uint16_t maxPacketSize = 0;
  uint8_t interval = 0;
};
struct InterfaceInfo {
  uint8_t number = 0;
  uint8_t alternateSetting = 0;
  uint8_t interfaceClass = 0, subClass = 0, protocol = 0;
  std::vector<EndpointInfo> endpoints;
};
struct ConfigurationInfo {
  uint8_t configurationValue = 0;
  uint8_t numInterfaces = 0;
  std::vector<InterfaceInfo> interfaces;  // every alternate setting, in descriptor order
};
// Returns false (with a reason) when the bytes are not a well-formed configuration.
bool ParseConfiguration(std::span<const uint8_t> bytes, ConfigurationInfo& out, std::string* error = nullptr);

}  // namespace torvex::platform::usb
