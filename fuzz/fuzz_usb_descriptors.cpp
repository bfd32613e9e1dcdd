// Feeds arbitrary bytes to the configuration parsers: the bounds-checked parser
// of the host controller and the USBD_ helpers a driver calls on the bytes it read.
#include <cstdint>
#include <vector>

#include "usb/host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static torvex::platform::Kernel kernel;  // the pool of USBD_CreateConfigurationRequest
  torvex::platform::usb::ConfigurationInfo info;
  torvex::platform::usb::ParseConfiguration({data, size}, info);

  // The USBD_ helpers trust wTotalLength as a driver's buffer does; give them a buffer of that size.
  if (size < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return 0;
  std::vector<uint8_t> bytes(data, data + size);
  auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
  if (config->wTotalLength > bytes.size()) bytes.resize(config->wTotalLength, 0);
  config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
  for (LONG alt = -1; alt < 4; ++alt) USBD_ParseConfigurationDescriptorEx(config, config, -1, alt, -1, -1, -1);
  USHORT urbSize = 0;
  if (PURB urb = USBD_CreateConfigurationRequest(config, &urbSize)) ExFreePool(urb);
  return 0;
}
