// Device configuration: descriptors, configuration, the streaming interface
// and its alternate settings, and UsbLock.
#include "torvexv.h"

namespace {

PURB AllocateDescriptorUrb() {
  PURB urb = static_cast<PURB>(ISOUSB_ExAllocatePool(NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)));
  if (urb) RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  return urb;
}

// Reads a descriptor into buffer; *transferred gets the bytes the device sent.
NTSTATUS ReadDescriptor(AdapterExtension* adapter, PURB urb, UCHAR type, PVOID buffer, ULONG length,
                        PULONG transferred) {
  UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0, buffer, nullptr,
                               length, nullptr);
  NTSTATUS status = IsoUsb_CallUSBD(adapter, urb);
  ULONG n = urb->UrbControlDescriptorRequest.TransferBufferLength;
  *transferred = NT_SUCCESS(status) ? (n < length ? n : length) : 0;
  return status;
}

UCHAR AlternateSettingCountOf(const USB_CONFIGURATION_DESCRIPTOR* config) {
  // One 16-byte block (interface and endpoint descriptor) per alternate
  // setting after the configuration descriptor, and with two interfaces after
  // the other interface's block.
  LONG header;
  switch (config->bNumInterfaces) {
    case 1: header = 9; break;
    case 2: header = 25; break;
    default: return 0;
  }
  LONG count = (static_cast<LONG>(config->wTotalLength) - header) / 16;
  if (count < 0) return 0;
  return static_cast<UCHAR>(count > 255 ? 255 : count);
}

// The streaming interface is the one with more than one alternate setting;
// with none such, the first interface.
LONG StreamingInterfaceNumber(PUSB_CONFIGURATION_DESCRIPTOR config) {
  PUSB_INTERFACE_DESCRIPTOR itf = USBD_ParseConfigurationDescriptorEx(config, config, -1, 1, -1, -1, -1);
  if (!itf) itf = USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
  return itf ? itf->bInterfaceNumber : -1;
}

ULONG PipeCapacity(const USBD_INTERFACE_INFORMATION* info) {
  if (info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes)) return 0;
  return (info->Length - offsetof(USBD_INTERFACE_INFORMATION, Pipes)) / sizeof(USBD_PIPE_INFORMATION);
}

VOID PreparePipes(PUSBD_INTERFACE_INFORMATION info, ULONG maxTransferSize) {
  ULONG pipes = PipeCapacity(info);
  if (info->NumberOfPipes < pipes) pipes = info->NumberOfPipes;
  for (ULONG i = 0; i < pipes; ++i) {
    info->Pipes[i].MaximumTransferSize = maxTransferSize;
    info->Pipes[i].PipeFlags = 0;
  }
}

PUSBD_INTERFACE_INFORMATION CopyInterfaceInfo(const USBD_INTERFACE_INFORMATION* info) {
  auto copy = static_cast<PUSBD_INTERFACE_INFORMATION>(ISOUSB_ExAllocatePool(NonPagedPool, info->Length));
  if (copy) RtlCopyMemory(copy, info, info->Length);
  return copy;
}

}  // namespace

VOID UsbLockAcquire(AdapterExtension* adapter) {
  KeWaitForSingleObject(&adapter->UsbLock, Executive, KernelMode, FALSE, nullptr);
  InterlockedDecrement(&gSemaphoreCount);
}

VOID UsbLockRelease(AdapterExtension* adapter) {
  KeReleaseSemaphore(&adapter->UsbLock, 0, 1, FALSE);
  InterlockedIncrement(&gSemaphoreCount);
}

NTSTATUS IsoUsb_StartDevice(AdapterExtension* adapter) {
  // The lock and the reset counter exist whatever the start's outcome, so that
  // nothing later waits on an uninitialised object.
  adapter->DeviceGone = 0;
  KeInitializeSemaphore(&adapter->UsbLock, 1, 1);
  WriteShared(&gSemaphoreCount, 1);
  WriteShared(&adapter->ResetCount, -1);

  PURB urb = AllocateDescriptorUrb();
  auto descriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(
      ISOUSB_ExAllocatePool(NonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR)));
  if (!urb || !descriptor) {
    ISOUSB_ExFreePool(urb);
    ISOUSB_ExFreePool(descriptor);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(descriptor, sizeof(USB_DEVICE_DESCRIPTOR));
  ULONG transferred;
  NTSTATUS status = ReadDescriptor(adapter, urb, USB_DEVICE_DESCRIPTOR_TYPE, descriptor,
                                   sizeof(USB_DEVICE_DESCRIPTOR), &transferred);
  ISOUSB_ExFreePool(urb);
  if (!NT_SUCCESS(status)) {
    ISOUSB_ExFreePool(descriptor);
    return status;
  }
  adapter->DeviceDescriptor = descriptor;
  return IsoUsb_ConfigureDevice(adapter);
}

NTSTATUS IsoUsb_ConfigureDevice(AdapterExtension* adapter) {
  PURB urb = AllocateDescriptorUrb();
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG size = CONFIG_DESCRIPTOR_FIRST_READ;
  PUSB_CONFIGURATION_DESCRIPTOR config = nullptr;
  ULONG transferred = 0;
  NTSTATUS status = STATUS_SUCCESS;
  // A configuration longer than the first read is read a second time in full.
  for (int read = 0; read < 2; ++read) {
    config = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ISOUSB_ExAllocatePool(NonPagedPool, size));
    if (!config) {
      ISOUSB_ExFreePool(urb);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(config, size);
    status = ReadDescriptor(adapter, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, config, size, &transferred);
    if (read == 0 && transferred >= sizeof(USB_CONFIGURATION_DESCRIPTOR) && config->wTotalLength > size) {
      size = config->wTotalLength;
      ISOUSB_ExFreePool(config);
      continue;
    }
    break;
  }
  ISOUSB_ExFreePool(urb);
  if (!NT_SUCCESS(status) || transferred < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
      config->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
    ISOUSB_ExFreePool(config);
    return NT_SUCCESS(status) ? STATUS_DEVICE_DATA_ERROR : status;
  }
  // Parsing never goes past the bytes the camera actually sent.
  if (config->wTotalLength > transferred) config->wTotalLength = static_cast<USHORT>(transferred);
  adapter->ConfigurationDescriptor = config;
  adapter->AlternateSettingCount = AlternateSettingCountOf(config);
  return IsoUsb_SelectInterface(adapter, config);
}

NTSTATUS IsoUsb_SelectInterface(AdapterExtension* adapter, PUSB_CONFIGURATION_DESCRIPTOR config) {
  USHORT urbSize = 0;
  PURB urb = USBD_CreateConfigurationRequest(config, &urbSize);
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  LONG streaming = StreamingInterfaceNumber(config);
  if (streaming < 0) {
    ExFreePool(urb);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // Walk the interface informations of the URB, within its size.
  PUSBD_INTERFACE_INFORMATION selected = nullptr;
  PUCHAR end = reinterpret_cast<PUCHAR>(urb) + urbSize;
  auto info = &urb->UrbSelectConfiguration.Interface;
  for (ULONG i = 0; i < config->bNumInterfaces; ++i) {
    PUCHAR at = reinterpret_cast<PUCHAR>(info);
    if (at + offsetof(USBD_INTERFACE_INFORMATION, Pipes) > end || info->Length == 0 || at + info->Length > end) break;
    PreparePipes(info, adapter->MaxTransferSize);
    if (!selected && info->InterfaceNumber == streaming) selected = info;
    info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at + info->Length);
  }
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbHeader.Length = urbSize;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = config;

  NTSTATUS status = IsoUsb_CallUSBD(adapter, urb);
  adapter->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
  // Without a copy the start still succeeds; the stream then cannot be prepared.
  if (NT_SUCCESS(status) && selected) adapter->InterfaceInfo = CopyInterfaceInfo(selected);
  ExFreePool(urb);
  return status;
}

NTSTATUS IsoUsb_PrepareStream(AdapterExtension* adapter, StreamExtension* /*stream*/, PKSDATAFORMAT format) {
  UsbLockAcquire(adapter);
  NTSTATUS status = IsoUsb_AllocateBandwidth(adapter, format);
  UsbLockRelease(adapter);
  return status;
}

NTSTATUS IsoUsb_AllocateBandwidth(AdapterExtension* adapter, PKSDATAFORMAT /*format*/) {
  if (!adapter->InterfaceInfo) return STATUS_INSUFFICIENT_RESOURCES;
  // The highest setting first, then lower ones while the host controller
  // refuses; setting 0 is the last one tried.
  LONG alternate = adapter->AlternateSettingCount > 2 ? adapter->AlternateSettingCount - 1 : 0;
  for (;; --alternate) {
    adapter->InterfaceInfo->AlternateSetting = static_cast<UCHAR>(alternate);
    NTSTATUS status = IsoUsb_SelectAlternateInterface(adapter, adapter->InterfaceInfo);
    if (NT_SUCCESS(status) || alternate == 0) return status;
  }
}

NTSTATUS IsoUsb_SelectAlternateInterface(AdapterExtension* adapter, PUSBD_INTERFACE_INFORMATION interfaceInfo) {
  // Room for the pipes of the setting being selected (at least one).
  ULONG pipes = 1;
  if (adapter->ConfigurationDescriptor) {
    PUSB_INTERFACE_DESCRIPTOR itf = USBD_ParseConfigurationDescriptorEx(
        adapter->ConfigurationDescriptor, adapter->ConfigurationDescriptor, interfaceInfo->InterfaceNumber,
        interfaceInfo->AlternateSetting, -1, -1, -1);
    if (itf && itf->bNumEndpoints > pipes) pipes = itf->bNumEndpoints;
  }
  const USHORT urbSize = GET_SELECT_INTERFACE_REQUEST_SIZE(pipes);
  PURB urb = static_cast<PURB>(ISOUSB_ExAllocatePool(NonPagedPool, urbSize));
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, urbSize);
  PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectInterface.Interface;
  const USHORT room = GET_USBD_INTERFACE_SIZE(pipes);
  RtlCopyMemory(info, interfaceInfo, interfaceInfo->Length < room ? interfaceInfo->Length : room);
  info->Length = room;
  info->NumberOfPipes = pipes;
  PreparePipes(info, ISOUSB_MAX_TRANSFER_SIZE);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
  urb->UrbHeader.Length = urbSize;
  urb->UrbSelectInterface.ConfigurationHandle = adapter->ConfigurationHandle;

  NTSTATUS status = IsoUsb_CallUSBD(adapter, urb);
  if (NT_SUCCESS(status) && USBD_SUCCESS(urb->UrbHeader.Status) && interfaceInfo == adapter->InterfaceInfo) {
    // The new setting's pipe handles, packet sizes and intervals.
    if (info->Length > room) info->Length = room;
    PUSBD_INTERFACE_INFORMATION copy = CopyInterfaceInfo(info);
    if (copy) {
      ISOUSB_ExFreePool(adapter->InterfaceInfo);
      adapter->InterfaceInfo = copy;
    } else {
      status = STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  ISOUSB_ExFreePool(urb);
  return status;
}

VOID IsoUsb_ReleaseDeviceResources(AdapterExtension* adapter) {
  ISOUSB_ExFreePool(adapter->DeviceDescriptor);
  ISOUSB_ExFreePool(adapter->ConfigurationDescriptor);
  ISOUSB_ExFreePool(adapter->InterfaceInfo);
  adapter->DeviceDescriptor = nullptr;
  adapter->ConfigurationDescriptor = nullptr;
  adapter->InterfaceInfo = nullptr;
}
