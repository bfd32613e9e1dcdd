// USBD configuration helpers and the bounds-checked configuration parser.
#include <algorithm>

#include "kernel/kernel.h"
#include "usb/host.h"

namespace {
constexpr ULONG kUsbdTag = 'U' | 'S' << 8 | 'B' << 16 | 'D' << 24;

// The descriptor at `p` if it lies wholly inside [begin, end) and has a sane length.
const USB_COMMON_DESCRIPTOR* DescriptorAt(const uint8_t* p, const uint8_t* end) {
  if (p >= end || end - p < 2) return nullptr;
  auto* d = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(p);
  if (d->bLength < 2 || d->bLength > end - p) return nullptr;
  return d;
}

size_t MinimumLength(UCHAR type) {
  switch (type) {
    case USB_DEVICE_DESCRIPTOR_TYPE: return sizeof(USB_DEVICE_DESCRIPTOR);
    case USB_CONFIGURATION_DESCRIPTOR_TYPE: return sizeof(USB_CONFIGURATION_DESCRIPTOR);
    case USB_INTERFACE_DESCRIPTOR_TYPE: return sizeof(USB_INTERFACE_DESCRIPTOR);
    case USB_ENDPOINT_DESCRIPTOR_TYPE: return sizeof(USB_ENDPOINT_DESCRIPTOR);
    default: return 2;
  }
}

// The end of a configuration descriptor's bytes, or nullptr when its header is bad.
const uint8_t* ConfigurationEnd(const USB_CONFIGURATION_DESCRIPTOR* config) {
  if (!config || config->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
      config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
      config->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
    return nullptr;
  }
  return reinterpret_cast<const uint8_t*>(config) + config->wTotalLength;
}

// Counts the endpoint descriptors that follow an interface descriptor, up to the next interface.
ULONG CountEndpoints(const uint8_t* afterInterface, const uint8_t* end) {
  ULONG count = 0;
  for (const uint8_t* p = afterInterface;;) {
    const USB_COMMON_DESCRIPTOR* d = DescriptorAt(p, end);
    if (!d || d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) break;
    if (d->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE && d->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR)) ++count;
    p += d->bLength;
  }
  return count;
}

PURB BuildSelectConfiguration(PUSB_CONFIGURATION_DESCRIPTOR config,
                              const std::vector<PUSB_INTERFACE_DESCRIPTOR>& interfaces, PUSHORT size) {
  const uint8_t* end = ConfigurationEnd(config);
  if (!end || interfaces.empty()) return nullptr;
  size_t total = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  std::vector<ULONG> pipes;
  for (auto* itf : interfaces) {
    ULONG n = std::max<ULONG>(itf->bNumEndpoints, CountEndpoints(reinterpret_cast<uint8_t*>(itf) + itf->bLength, end));
    pipes.push_back(n);
    total += GET_USBD_INTERFACE_SIZE(n);
  }
  total = std::max(total, sizeof(struct _URB_SELECT_CONFIGURATION));
  if (total > 0xFFFF) return nullptr;
  auto urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, total, kUsbdTag));
  if (!urb) return nullptr;
  std::memset(urb, 0, total);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbHeader.Length = static_cast<USHORT>(total);
  urb->UrbSelectConfiguration.ConfigurationDescriptor = config;
  auto* info = &urb->UrbSelectConfiguration.Interface;
  for (size_t i = 0; i < interfaces.size(); ++i) {
    info->Length = GET_USBD_INTERFACE_SIZE(pipes[i]);
    info->InterfaceNumber = interfaces[i]->bInterfaceNumber;
    info->AlternateSetting = interfaces[i]->bAlternateSetting;
    info->NumberOfPipes = pipes[i];
    for (ULONG p = 0; p < pipes[i]; ++p) info->Pipes[p].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t*>(info) + info->Length);
  }
  if (size) *size = static_cast<USHORT>(total);
  return urb;
}
}  // namespace

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType) {
  auto* begin = static_cast<uint8_t*>(DescriptorBuffer);
  auto* end = begin + TotalLength;
  auto* p = static_cast<uint8_t*>(StartPosition);
  if (!begin || p < begin) return nullptr;
  while (const USB_COMMON_DESCRIPTOR* d = DescriptorAt(p, end)) {
    if (d->bDescriptorType == DescriptorType) {
      if (d->bLength < MinimumLength(d->bDescriptorType)) return nullptr;  // shorter than its type
      return const_cast<PUSB_COMMON_DESCRIPTOR>(d);
    }
    p += d->bLength;
  }
  return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol) {
  const uint8_t* end = ConfigurationEnd(ConfigurationDescriptor);
  if (!end) return nullptr;
  auto* p = static_cast<uint8_t*>(StartPosition ? StartPosition : ConfigurationDescriptor);
  auto match = [](LONG want, UCHAR have) { return want == -1 || want == have; };
  for (;;) {
    auto* d = USBD_ParseDescriptors(ConfigurationDescriptor, ConfigurationDescriptor->wTotalLength, p,
                                    USB_INTERFACE_DESCRIPTOR_TYPE);
    if (!d) return nullptr;
    auto* itf = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
    if (match(InterfaceNumber, itf->bInterfaceNumber) && match(AlternateSetting, itf->bAlternateSetting) &&
        match(InterfaceClass, itf->bInterfaceClass) && match(InterfaceSubClass, itf->bInterfaceSubClass) &&
        match(InterfaceProtocol, itf->bInterfaceProtocol)) {
      return itf;
    }
    p = reinterpret_cast<uint8_t*>(d) + d->bLength;
  }
}

PURB USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSHORT Siz) {
  if (!ConfigurationEnd(ConfigurationDescriptor)) return nullptr;
  std::vector<PUSB_INTERFACE_DESCRIPTOR> interfaces;
  for (LONG n = 0; n < ConfigurationDescriptor->bNumInterfaces; ++n) {
    // Interfaces are found by number, alternate setting 0.
    auto* itf = USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, -1, 0, -1, -1, -1);
    for (LONG skip = 0; itf && skip < n; ++skip) {
      itf = USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, reinterpret_cast<uint8_t*>(itf) + itf->bLength,
                                                -1, 0, -1, -1, -1);
    }
    if (!itf) return nullptr;
    interfaces.push_back(itf);
  }
  return BuildSelectConfiguration(ConfigurationDescriptor, interfaces, Siz);
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  if (!InterfaceList) return nullptr;
  std::vector<PUSB_INTERFACE_DESCRIPTOR> interfaces;
  for (auto* e = InterfaceList; e->InterfaceDescriptor; ++e) interfaces.push_back(e->InterfaceDescriptor);
  PURB urb = BuildSelectConfiguration(ConfigurationDescriptor, interfaces, nullptr);
  if (!urb) return nullptr;
  auto* info = &urb->UrbSelectConfiguration.Interface;
  for (auto* e = InterfaceList; e->InterfaceDescriptor; ++e) {
    e->Interface = info;
    info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t*>(info) + info->Length);
  }
  return urb;
}

namespace torvex::platform::usb {

bool ParseConfiguration(std::span<const uint8_t> bytes, ConfigurationInfo& out, std::string* error) {
  auto fail = [&](const char* why) {
    if (error) *error = why;
    return false;
  };
  out = {};
  if (bytes.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return fail("configuration descriptor too short");
  USB_CONFIGURATION_DESCRIPTOR config;
  std::memcpy(&config, bytes.data(), sizeof config);
  if (config.bLength < sizeof config || config.bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE)
    return fail("not a configuration descriptor");
  if (config.wTotalLength < sizeof config || config.wTotalLength > bytes.size())
    return fail("wTotalLength does not match the bytes");
  out.configurationValue = config.bConfigurationValue;
  out.numInterfaces = config.bNumInterfaces;
  const uint8_t* p = bytes.data() + config.bLength;
  const uint8_t* end = bytes.data() + config.wTotalLength;
  while (p < end) {
    const USB_COMMON_DESCRIPTOR* d = DescriptorAt(p, end);
    if (!d) return fail("descriptor length runs past the configuration");
    if (d->bLength < MinimumLength(d->bDescriptorType)) return fail("descriptor shorter than its type");
    if (d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) {
      USB_INTERFACE_DESCRIPTOR itf;
      std::memcpy(&itf, p, sizeof itf);
      out.interfaces.push_back({itf.bInterfaceNumber, itf.bAlternateSetting, itf.bInterfaceClass,
                                itf.bInterfaceSubClass, itf.bInterfaceProtocol, {}});
    } else if (d->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE) {
      if (out.interfaces.empty()) return fail("endpoint descriptor before any interface");
      USB_ENDPOINT_DESCRIPTOR ep;
      std::memcpy(&ep, p, sizeof ep);
      out.interfaces.back().endpoints.push_back({ep.bEndpointAddress, ep.bmAttributes,
                                                 static_cast<uint16_t>(ep.wMaxPacketSize & 0x07FF), ep.bInterval});
    }
    p += d->bLength;
  }
  return true;
}

}  // namespace torvex::platform::usb
