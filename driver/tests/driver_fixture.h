// A capture application's view of the driver: the kernel, a USB host
// controller with the simulated camera plugged in, and the streaming class
// with the driver loaded. Every test ends by uninitialising the device and
// checking that the driver left nothing in the pool and broke no rule of the
// platform.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "kernel/kernel.h"
#include "ks/class_model.h"
#include "sim/camera/usb_camera.h"
#include "torvexv.h"
#include "usb/host.h"

namespace torvex::driver_test {

using platform::Kernel;
using platform::KernelOptions;
using platform::ks::Device;
using platform::ks::Request;
using platform::ks::Result;
using platform::ks::Stream;
using platform::ks::StreamClass;

inline constexpr int kPort = 1;
inline const std::wstring kProductKey = TORVEX_PRODUCT_KEY;

// A format the stream accepts (or not), built from one of its data ranges.
inline KS_DATAFORMAT_VIDEOINFOHEADER MakeFormat(const KS_DATARANGE_VIDEO& range, LONG width, LONG height) {
  KS_DATAFORMAT_VIDEOINFOHEADER format{};
  format.DataFormat = range.DataRange;
  format.DataFormat.FormatSize = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER);
  format.VideoInfoHeader = range.VideoInfoHeader;
  KS_BITMAPINFOHEADER& bmi = format.VideoInfoHeader.bmiHeader;
  bmi.biWidth = width;
  bmi.biHeight = height;
  bmi.biSizeImage = static_cast<DWORD>(width * (height < 0 ? -height : height) * bmi.biBitCount / 8);
  format.DataFormat.SampleSize = bmi.biSizeImage;
  return format;
}

inline KS_DATAFORMAT_VIDEOINFOHEADER RgbFormat(LONG width = 320, LONG height = 240) {
  return MakeFormat(StreamFormatRGB24Bpp_Capture, width, height);
}

class DriverTest : public ::testing::Test {
 protected:
  explicit DriverTest(sim::CameraConfig config = DefaultCamera(), platform::usb::HostControllerOptions host = {})
      : host_(kernel, host), usbCamera(std::make_shared<sim::UsbCamera>(std::move(config))) {
    pdo = host_.plug(kPort, usbCamera);
    EXPECT_EQ(streamClass.loadDriver(DriverEntry, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\TORVEX"),
              STATUS_SUCCESS);
    device = streamClass.addDevice(pdo);
  }

  void TearDown() override {
    stream.reset();
    device.reset();
    EXPECT_EQ(kernel.poolStats(ISOUSB_POOL_TAG).liveCount, 0u) << kernel.leakReport();
    EXPECT_TRUE(streamClass.violations().empty()) << ::testing::PrintToString(streamClass.violations());
    EXPECT_TRUE(kernel.violations().empty()) << ::testing::PrintToString(kernel.violations());
  }

  // Camera settings that differ from the driver's defaults, so that a value
  // taken from the camera is told apart from a stored one.
  static sim::CameraConfig DefaultCamera() {
    sim::CameraConfig config;
    config.initialSettings.brightness = -5;
    config.initialSettings.contrast = 100;
    config.initialSettings.saturation = 70;
    config.initialSettings.sharpness = 20;
    config.initialSettings.whiteBalance = 10;
    config.initialSettings.whiteBalanceMode = sim::kModeManual;
    config.initialSettings.gamma = 3;
    config.initialSettings.backlightCompensation = 1;
    config.initialSettings.exposureMode = sim::kModeManual;
    return config;
  }

  void Start() { ASSERT_EQ(device->start(), STATUS_SUCCESS); }

  void OpenStream(const KS_DATAFORMAT_VIDEOINFOHEADER& format = RgbFormat()) {
    Start();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    stream = device->openStream(0, &format.DataFormat, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_NE(stream, nullptr);
  }

  AdapterExtension* Adapter() { return static_cast<AdapterExtension*>(device->extension()); }
  sim::SimCamera& Camera() { return usbCamera->Camera(); }
  std::optional<uint32_t> Registry(const wchar_t* value) { return kernel.registry().getDword(kProductKey, value); }

  // Makes every allocation of the driver fail once `allowed` of them have succeeded.
  void FailDriverAllocationsAfter(int allowed) {
    auto count = std::make_shared<std::atomic<int>>(0);
    kernel.setAllocationFailure([count, allowed](POOL_TYPE, SIZE_T, ULONG tag) {
      return tag == ISOUSB_POOL_TAG && count->fetch_add(1) >= allowed;
    });
  }

  Kernel kernel{KernelOptions{.printViolations = false}};
  platform::usb::HostController host_;
  std::shared_ptr<sim::UsbCamera> usbCamera;
  StreamClass streamClass{kernel};
  PDEVICE_OBJECT pdo = nullptr;
  std::unique_ptr<Device> device;
  std::unique_ptr<Stream> stream;
};

}  // namespace torvex::driver_test
