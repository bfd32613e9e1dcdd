// The camera on the simulated host controller, driven the way a client driver drives it: URBs in
// internal device-control IRPs sent to the camera's physical device object.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "packet_assembler.h"
#include "sim/camera/usb_camera.h"

namespace torvex::sim {
namespace {

namespace usb = platform::usb;
using Bytes = std::vector<std::uint8_t>;
using testing::PacketAssembler;
using testing::PaddedToGroups;

Bytes PlainFrame(std::size_t length, std::uint8_t seed) {
  Bytes frame(length);
  for (std::size_t i = 0; i < length; ++i) frame[i] = static_cast<std::uint8_t>(0x40 + (i * 5 + seed) % 0xBF);
  frame[0] = 0x00;
  frame[1] = seed;
  return frame;
}

// Zeroed, aligned room for a URB of `size` bytes (never less than the URB union).
std::unique_ptr<std::uint64_t[]> UrbStorage(std::size_t size) {
  return std::make_unique<std::uint64_t[]>(std::max(size, sizeof(URB)) / 8 + 1);
}

struct Completed {
  NTSTATUS status;
  USBD_STATUS urbStatus;
};

class CameraOnTheBus : public ::testing::Test {
 protected:
  static constexpr ULONG kPacketsPerTransfer = 8;

  explicit CameraOnTheBus(std::uint32_t budget = 1100) : host(kernel, {.ports = 2, .isochronousBudget = budget}) {
    CameraConfig config;
    config.framesPerSecond = 100;
    camera = std::make_shared<UsbCamera>(config, std::make_unique<FrameListSource>(frames));
    pdo = host.plug(1, camera);
  }
  ~CameraOnTheBus() override {
    EXPECT_TRUE(kernel.violations().empty());
  }

  // Sends one URB and waits for it; a waiting test thread lets the clock run to the completion.
  Completed Submit(PURB urb) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0,
                                             TRUE, &event, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS status = IofCallDriver(pdo, irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      status = iosb.Status;
    }
    return {status, urb->UrbHeader.Status};
  }

  Bytes Vendor(std::uint8_t request, std::uint16_t value, std::uint16_t index, ULONG length = 6) {
    URB urb{};
    Bytes reply(length);
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                               USBD_TRANSFER_DIRECTION_IN, 0, request, value, index, reply.data(), nullptr,
                               length, nullptr);
    if (!NT_SUCCESS(Submit(&urb).status)) return {};
    reply.resize(urb.UrbControlVendorClassRequest.TransferBufferLength);
    return reply;
  }

  // Selects the configuration and keeps the streaming interface's information.
  void Configure() {
    Bytes config = camera->Camera().ConfigurationDescriptor();
    auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(descriptor, &size);
    ASSERT_NE(urb, nullptr);
    ASSERT_TRUE(NT_SUCCESS(Submit(urb).status));
    const auto& info = urb->UrbSelectConfiguration.Interface;
    configHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
    interfaceInfo.assign(reinterpret_cast<const std::uint8_t*>(&info),
                         reinterpret_cast<const std::uint8_t*>(&info) + info.Length);
    ExFreePool(urb);
  }

  Completed SelectAlternate(std::uint8_t alternate) {
    const USHORT size = GET_SELECT_INTERFACE_REQUEST_SIZE(1);
    auto storage = UrbStorage(size);
    auto* urb = reinterpret_cast<PURB>(storage.get());
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
    urb->UrbHeader.Length = size;
    urb->UrbSelectInterface.ConfigurationHandle = configHandle;
    std::memcpy(&urb->UrbSelectInterface.Interface, interfaceInfo.data(), interfaceInfo.size());
    urb->UrbSelectInterface.Interface.AlternateSetting = alternate;
    const Completed result = Submit(urb);
    if (NT_SUCCESS(result.status)) videoPipe = urb->UrbSelectInterface.Interface.Pipes[0];
    return result;
  }

  Completed PipeRequest(USHORT function) {
    URB urb{};
    urb.UrbHeader.Function = function;
    urb.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    urb.UrbPipeRequest.PipeHandle = videoPipe.PipeHandle;
    return Submit(&urb);
  }

  // An isochronous IN transfer of the video pipe.
  struct IsoTransfer {
    std::unique_ptr<std::uint64_t[]> storage;
    Bytes buffer;
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = STATUS_SUCCESS;
    PURB Urb() { return reinterpret_cast<PURB>(storage.get()); }
  };

  void StartTransfer(IsoTransfer& t) {
    const ULONG packetSize = videoPipe.MaximumPacketSize;
    const USHORT size = GET_ISO_URB_SIZE(kPacketsPerTransfer);
    t.storage = UrbStorage(size);
    std::memset(t.Urb(), 0, size);
    t.buffer.assign(kPacketsPerTransfer * packetSize, 0);
    auto& iso = t.Urb()->UrbIsochronousTransfer;
    iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso.Hdr.Length = size;
    iso.PipeHandle = videoPipe.PipeHandle;
    iso.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
    iso.TransferBuffer = t.buffer.data();
    iso.TransferBufferLength = static_cast<ULONG>(t.buffer.size());
    iso.NumberOfPackets = kPacketsPerTransfer;
    for (ULONG i = 0; i < kPacketsPerTransfer; ++i) iso.IsoPacket[i].Offset = i * packetSize;
    KeInitializeEvent(&t.event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE,
                                             &t.event, &t.iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = t.Urb();
    t.status = IofCallDriver(pdo, irp);
  }

  // Waits for the transfer and gives its packets to the assembler.
  Completed FinishTransfer(IsoTransfer& t, PacketAssembler& assembler) {
    if (t.status == STATUS_PENDING) {
      KeWaitForSingleObject(&t.event, Executive, KernelMode, FALSE, nullptr);
      t.status = t.iosb.Status;
    }
    const auto& iso = t.Urb()->UrbIsochronousTransfer;
    for (ULONG i = 0; i < kPacketsPerTransfer; ++i) {
      const auto& d = iso.IsoPacket[i];
      IsoPacket packet;
      packet.status = USBD_SUCCESS(d.Status) ? PacketStatus::Ok : PacketStatus::Error;
      packet.data.assign(t.buffer.begin() + d.Offset, t.buffer.begin() + d.Offset + d.Length);
      assembler.Add(packet);
    }
    return {t.status, iso.Hdr.Status};
  }

  Completed Transfer(PacketAssembler& assembler) {
    IsoTransfer t;
    StartTransfer(t);
    return FinishTransfer(t, assembler);
  }

  ULONG PortStatus() {
    ULONG status = 0;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, pdo, nullptr, 0, nullptr,
                                             0, TRUE, &event, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &status;
    if (IofCallDriver(pdo, irp) == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return status;
  }

  platform::Kernel kernel;
  usb::HostController host;
  std::vector<Bytes> frames{PlainFrame(3000, 1), PlainFrame(9000, 2), PlainFrame(500, 3)};
  std::shared_ptr<UsbCamera> camera;
  PDEVICE_OBJECT pdo = nullptr;
  USBD_CONFIGURATION_HANDLE configHandle = nullptr;
  Bytes interfaceInfo;
  USBD_PIPE_INFORMATION videoPipe{};
};

TEST_F(CameraOnTheBus, DescriptorsAndVendorRequestsTravelTheBus) {
  URB urb{};
  Bytes device(18);
  UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE,
                                    0, 0, device.data(), nullptr, 18, nullptr);
  ASSERT_TRUE(NT_SUCCESS(Submit(&urb).status));
  EXPECT_EQ(device, camera->Camera().DeviceDescriptor());

  EXPECT_EQ(Vendor(0x16, 1, 0xFFFB), (Bytes{0, 0xFB, 1, 0, 0, 0}));
  EXPECT_EQ(Vendor(0x1A, 1, 0x120E), (Bytes{0, 14, 18, 0, 0, 0}));
  EXPECT_EQ(Vendor(0x12, 0, 0, 1), Bytes{2});
  camera->Camera().ArmControlFault({ControlFaultKind::Stall, 0x17, 1});
  EXPECT_TRUE(Vendor(0x17, 0, 0).empty());
  EXPECT_EQ(camera->Camera().Settings().brightness, -5);
}

TEST_F(CameraOnTheBus, UnansweredRequestEndsOnlyWhenCancelled) {
  camera->Camera().ArmControlFault({ControlFaultKind::NoAnswer, 0x13, 1});
  URB urb{};
  Bytes reply(6);
  UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                             USBD_TRANSFER_DIRECTION_IN, 0, 0x13, 1, 0, reply.data(), nullptr, 6, nullptr);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE,
                                           &event, &iosb);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
  ASSERT_EQ(IofCallDriver(pdo, irp), STATUS_PENDING);
  LARGE_INTEGER timeout = platform::RelativeTime(std::chrono::seconds(3));
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  IoCancelIrp(irp);
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
  EXPECT_FALSE(camera->Camera().Settings().videoOn);
}

TEST_F(CameraOnTheBus, StreamsWholeFramesThroughIsochronousTransfers) {
  Configure();
  ASSERT_TRUE(NT_SUCCESS(SelectAlternate(6).status));
  EXPECT_EQ(videoPipe.MaximumPacketSize, 1008);
  EXPECT_EQ(camera->Camera().AlternateSetting(), 6);
  Vendor(0x13, 1, 0);

  // Two transfers in flight, as a driver keeps them, so that no bus frame goes unpolled.
  PacketAssembler assembler(1008);
  IsoTransfer transfers[2];
  StartTransfer(transfers[0]);
  StartTransfer(transfers[1]);
  for (int next = 0; assembler.Frames().size() < 4; next ^= 1) {
    ASSERT_TRUE(NT_SUCCESS(FinishTransfer(transfers[next], assembler).status));
    StartTransfer(transfers[next]);
  }
  for (IsoTransfer& t : transfers) FinishTransfer(t, assembler);
  EXPECT_EQ(camera->Camera().Log().CountEvents(CameraEvent::PacketsMissed), 0u);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(assembler.Frames()[i], PaddedToGroups(frames[i % 3])) << i;
}

TEST_F(CameraOnTheBus, StalledEndpointFailsTransfersUntilThePipeIsReset) {
  Configure();
  ASSERT_TRUE(NT_SUCCESS(SelectAlternate(7).status));
  Vendor(0x13, 1, 0);
  PacketAssembler assembler(1023);
  camera->Camera().ArmStreamFault({StreamFaultKind::Stall, 3});
  EXPECT_EQ(Transfer(assembler).urbStatus, USBD_STATUS_STALL_PID);
  EXPECT_EQ(Transfer(assembler).urbStatus, USBD_STATUS_ENDPOINT_HALTED);
  ASSERT_TRUE(NT_SUCCESS(PipeRequest(URB_FUNCTION_RESET_PIPE).status));
  EXPECT_TRUE(NT_SUCCESS(Transfer(assembler).status));
  EXPECT_EQ(camera->Camera().Log().CountEvents(CameraEvent::EndpointReset), 1u);
}

TEST_F(CameraOnTheBus, TransferAndPortFaultsReachTheHost) {
  Configure();
  ASSERT_TRUE(NT_SUCCESS(SelectAlternate(6).status));
  Vendor(0x13, 1, 0);
  PacketAssembler assembler(1008);
  camera->Camera().ArmStreamFault({StreamFaultKind::TransferError, 2});
  EXPECT_EQ(Transfer(assembler).urbStatus, USBD_STATUS_XACT_ERROR);

  camera->Camera().ArmStreamFault({StreamFaultKind::DisablePort, 1});
  Transfer(assembler);
  EXPECT_EQ(PortStatus(), USBD_PORT_CONNECTED);

  camera->Camera().ArmStreamFault({StreamFaultKind::Unplug, 0});
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_ENABLE_PORT, pdo, nullptr, 0, nullptr, 0, TRUE,
                                           &event, &iosb);
  if (IofCallDriver(pdo, irp) == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(PortStatus(), USBD_PORT_CONNECTED | USBD_PORT_ENABLED);
  Transfer(assembler);
  EXPECT_EQ(PortStatus(), 0u);
}

class CameraOnABusyBus : public CameraOnTheBus {
 protected:
  CameraOnABusyBus() : CameraOnTheBus(600) {}
};

TEST_F(CameraOnABusyBus, HostRefusesAlternateSettingsBeyondItsBandwidth) {
  Configure();
  for (std::uint8_t alternate : {7, 6, 5}) {
    const Completed refused = SelectAlternate(alternate);
    EXPECT_FALSE(NT_SUCCESS(refused.status)) << int(alternate);
    EXPECT_EQ(refused.urbStatus, USBD_STATUS_NO_BANDWIDTH) << int(alternate);
  }
  EXPECT_EQ(camera->Camera().AlternateSetting(), 0);
  ASSERT_TRUE(NT_SUCCESS(SelectAlternate(4).status));
  EXPECT_EQ(videoPipe.MaximumPacketSize, 512);
  EXPECT_EQ(camera->Camera().AlternateSetting(), 4);
  EXPECT_EQ(host.bandwidthInUse(), 512u);
}

}  // namespace
}  // namespace torvex::sim
