// The simulated camera as a device on the simulated USB host controller. Plug it into a hub port
// with HostController::plug; reach the camera (faults, frame source, log) through Camera().
//
// The controller calls the device model on its own thread; tests change the camera from theirs.
// SimCamera guards its state, so both may run at once. The camera does not see being plugged:
// to replug it as a freshly powered camera, call Camera().PowerOn() before plugging it again.
#pragma once

#include <memory>

#include "sim_camera.h"
#include "usb/host.h"

namespace torvex::sim {

class UsbCamera : public platform::usb::DeviceModel {
 public:
  explicit UsbCamera(CameraConfig config = {}, std::unique_ptr<FrameSource> source = nullptr)
      : camera_(std::move(config), std::move(source)) {}

  SimCamera& Camera() { return camera_; }

  std::vector<std::uint8_t> deviceDescriptor() override { return camera_.DeviceDescriptor(); }
  std::vector<std::uint8_t> configurationDescriptor() override { return camera_.ConfigurationDescriptor(); }
  platform::usb::ControlReply controlTransfer(const platform::usb::SetupPacket& setup,
                                              std::span<const std::uint8_t> outData) override;
  platform::usb::IsoPacket isochronousIn(std::uint8_t endpointAddress, std::uint32_t frame,
                                         std::uint16_t maxPacketSize) override;
  void configurationSelected(std::uint8_t configurationValue) override;
  void alternateSettingSelected(std::uint8_t interfaceNumber, std::uint8_t alternateSetting) override;
  void pipeReset(std::uint8_t endpointAddress) override;

 private:
  SimCamera camera_;
};

}  // namespace torvex::sim
