#include "usb_camera.h"

namespace torvex::sim {
namespace {

namespace usb = platform::usb;

// The bus frame now, for the log: frames are 1 ms of the kernel's clock (100 ns units).
std::uint64_t CurrentBusFrame() {
  const platform::Kernel* kernel = platform::Kernel::currentOrNull();
  return kernel ? static_cast<std::uint64_t>(kernel->now() / 10000) : 0;
}

}  // namespace

usb::ControlReply UsbCamera::controlTransfer(const usb::SetupPacket& setup, std::span<const std::uint8_t>) {
  const SetupPacket request{setup.bmRequestType, setup.bRequest, setup.wValue, setup.wIndex, setup.wLength};
  ControlAnswer answer = camera_.Control(request, CurrentBusFrame());
  switch (answer.outcome) {
    case ControlOutcome::Stall: return usb::ControlReply::stall();
    case ControlOutcome::NoAnswer: return usb::ControlReply::noAnswer();
    case ControlOutcome::Data: break;
  }
  return usb::ControlReply::withData(std::move(answer.data));
}

usb::IsoPacket UsbCamera::isochronousIn(std::uint8_t endpointAddress, std::uint32_t frame, std::uint16_t) {
  usb::IsoPacket out;
  if (endpointAddress != kVideoEndpoint) return out;
  IsoPacket packet = camera_.VideoPacket(frame);
  switch (packet.status) {
    case PacketStatus::Ok: break;
    case PacketStatus::Error: out.status = USBD_STATUS_CRC; break;
    case PacketStatus::Stalled: out.status = USBD_STATUS_STALL_PID; break;
  }
  out.data = std::move(packet.data);
  if (packet.failsTransfer) out.transferStatus = USBD_STATUS_XACT_ERROR;
  switch (packet.port) {
    case PortAction::None: break;
    case PortAction::Disable: out.busEvent = usb::IsoPacket::BusEvent::DisablePort; break;
    case PortAction::Unplug: out.busEvent = usb::IsoPacket::BusEvent::Unplug; break;
  }
  return out;
}

void UsbCamera::configurationSelected(std::uint8_t) {
  // Selecting (or leaving) the configuration puts every interface on alternate setting 0.
  camera_.SelectAlternateSetting(kStreamingInterface, 0, CurrentBusFrame());
}

void UsbCamera::alternateSettingSelected(std::uint8_t interfaceNumber, std::uint8_t alternateSetting) {
  camera_.SelectAlternateSetting(interfaceNumber, alternateSetting, CurrentBusFrame());
}

void UsbCamera::pipeReset(std::uint8_t endpointAddress) {
  if (endpointAddress == kVideoEndpoint) camera_.ResetVideoEndpoint(CurrentBusFrame());
}

}  // namespace torvex::sim
