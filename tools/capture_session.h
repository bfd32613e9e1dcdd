// A capture application on the simulated system: a kernel, the streaming class
// with the torvexv driver loaded, a host controller with the simulated camera
// plugged in, and the driver's one video stream opened with a chosen format,
// its properties set through the property sets, a master clock and reads kept
// queued. Used by `torvex capture`, the driver's end-to-end tests and the
// pipeline benchmark.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kernel/kernel.h"
#include "ks/class_model.h"
#include "sim/camera/usb_camera.h"
#include "sim/encoder/encoder.h"
#include "usb/host.h"

namespace torvex::tools {

struct CaptureOptions {
  int width = 320;
  int height = 240;
  bool iyuv = false;
  double framesPerSecond = 15.0;       // the camera's frame rate
  std::vector<sim::RgbPicture> pictures;              // encoded by the camera at the size it is asked for
  std::vector<std::vector<std::uint8_t>> frames;      // or compressed frames sent as they are
  std::optional<int> quality;          // compression quality property (0..7999 meaningful)
  std::optional<bool> mirror;          // video-control mode bit 0; the driver's default mirrors
  std::optional<int> rotation;         // Roll: 0, 90, 180, 270
  std::optional<int> brightness, contrast, saturation;
  bool masterClock = true;
  std::optional<LONGLONG> frameInterval;  // AvgTimePerFrame of the format; else from the camera's rate
  int readsQueued = 3;
  sim::CameraConfig camera;            // descriptors and faults of the camera
  platform::KernelOptions kernel;
};

// One completed read as the application sees it.
struct CapturedFrame {
  NTSTATUS status = STATUS_SUCCESS;
  std::vector<std::uint8_t> data;  // DataUsed bytes
  ULONG optionsFlags = 0;
  LONGLONG presentationTime = 0;
  LONGLONG pictureNumber = 0;
  LONGLONG dropCount = 0;
};

// The data format the application asks for.
KS_DATAFORMAT_VIDEOINFOHEADER MakeVideoFormat(int width, int height, bool iyuv, LONGLONG avgTimePerFrame = 333333);

class CaptureSession {
 public:
  // Builds the system and opens the stream; throws std::runtime_error with a
  // one-line reason when the driver refuses the device, the format or a property.
  explicit CaptureSession(const CaptureOptions& options);
  ~CaptureSession();
  CaptureSession(const CaptureSession&) = delete;
  CaptureSession& operator=(const CaptureSession&) = delete;

  NTSTATUS SetState(KSSTATE state);
  // Keeps readsQueued reads queued and moves virtual time until `count` reads
  // have completed or `limit` of virtual time has passed; returns them in
  // completion order.
  std::vector<CapturedFrame> Capture(std::size_t count, platform::Duration limit);
  // Completed reads without queueing new ones (what is still outstanding).
  std::size_t OutstandingReads() const { return reads_.size(); }
  // Sets the stop state: outstanding reads complete as cancelled.
  std::vector<CapturedFrame> Stop();
  // Stop, close, uninitialise; what the pool still holds with the driver's tag.
  platform::PoolTagStats Shutdown();
  // The camera unplugged (if still plugged) and plugged in again as a freshly
  // powered camera: a new device is started and the stream opened and run again.
  void Replug();
  // Stream resets the driver has run so far (port status requests on the bus).
  std::size_t Resets() const;

  platform::Kernel& Kernel() { return *kernel_; }
  platform::usb::HostController& Host() { return *host_; }
  sim::SimCamera& Camera() { return camera_->Camera(); }
  platform::ks::Stream& Stream() { return *stream_; }
  platform::ks::Device& Device() { return *device_; }
  ULONG FrameBytes() const { return frameBytes_; }
  int Port() const { return 1; }
  std::vector<std::string> Violations() const;

 private:
  void OpenDevice();
  void QueueReads();
  CapturedFrame Collect(platform::ks::Request& read) const;

  std::unique_ptr<platform::Kernel> kernel_;
  std::unique_ptr<platform::ks::StreamClass> class_;
  std::unique_ptr<platform::usb::HostController> host_;
  std::shared_ptr<sim::UsbCamera> camera_;
  std::unique_ptr<platform::ks::Device> device_;
  std::unique_ptr<platform::ks::MasterClock> clock_;
  std::unique_ptr<platform::ks::Stream> stream_;
  std::vector<platform::ks::Request> reads_;
  CaptureOptions options_;
  ULONG frameBytes_ = 0;
  int readsQueued_ = 3;
};

}  // namespace torvex::tools
