#include "tools/capture_session.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "sim/camera/picture_source.h"
#include "torvexv.h"

namespace torvex::tools {

namespace {

using platform::ks::Result;

std::string StatusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

void Require(NTSTATUS status, const std::string& what) {
  if (!NT_SUCCESS(status)) throw std::runtime_error(what + " failed with status " + StatusText(status));
}

KSPROPERTY PropertyOf(const GUID& set, ULONG id) {
  KSPROPERTY property{};
  property.Set = set;
  property.Id = id;
  return property;
}

}  // namespace

KS_DATAFORMAT_VIDEOINFOHEADER MakeVideoFormat(int width, int height, bool iyuv, LONGLONG avgTimePerFrame) {
  KS_DATAFORMAT_VIDEOINFOHEADER format{};
  const ULONG bytes = iyuv ? static_cast<ULONG>(width) * height * 3 / 2 : static_cast<ULONG>(width) * height * 3;
  format.DataFormat.FormatSize = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER);
  format.DataFormat.SampleSize = bytes;
  format.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
  format.DataFormat.SubFormat = iyuv ? MEDIASUBTYPE_IYUV : MEDIASUBTYPE_RGB24;
  format.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
  KS_VIDEOINFOHEADER& info = format.VideoInfoHeader;
  info.AvgTimePerFrame = avgTimePerFrame;
  info.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = iyuv ? 12 : 24;
  info.bmiHeader.biCompression = iyuv ? FOURCC_IYUV : KS_BI_RGB;
  info.bmiHeader.biSizeImage = bytes;
  return format;
}

CaptureSession::CaptureSession(const CaptureOptions& options) : options_(options), readsQueued_(options.readsQueued) {
  kernel_ = std::make_unique<platform::Kernel>(options.kernel);
  class_ = std::make_unique<platform::ks::StreamClass>(*kernel_);
  host_ = std::make_unique<platform::usb::HostController>(*kernel_);

  std::unique_ptr<sim::FrameSource> source;
  if (!options.frames.empty())
    source = std::make_unique<sim::FrameListSource>(options.frames);
  else if (!options.pictures.empty())
    source = std::make_unique<sim::PictureSource>(options.pictures);
  sim::CameraConfig config = options.camera;
  config.framesPerSecond = options.framesPerSecond;
  camera_ = std::make_shared<sim::UsbCamera>(config, std::move(source));

  Require(class_->loadDriver(DriverEntry, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\torvexv"),
          "loading the driver");
  OpenDevice();
}

void CaptureSession::OpenDevice() {
  const CaptureOptions& options = options_;
  device_ = class_->addDevice(host_->plug(Port(), camera_));
  Require(device_->start(), "starting the camera");

  // Properties are device properties, set before the stream runs.
  if (options.quality) {
    KSPROPERTY_VIDEOCOMPRESSION_S value{PropertyOf(PROPSETID_VIDCAP_VIDEOCOMPRESSION,
                                                   KSPROPERTY_VIDEOCOMPRESSION_QUALITY), 0, *options.quality};
    Require(device_->setProperty(value).status, "setting the compression quality");
  }
  if (options.rotation) {
    KSPROPERTY_CAMERACONTROL_S value{PropertyOf(PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_ROLL),
                                     *options.rotation, KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL, 0};
    Require(device_->setProperty(value).status, "setting the rotation");
  }
  const std::pair<std::optional<int>, ULONG> procAmp[] = {{options.brightness, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS},
                                                          {options.contrast, KSPROPERTY_VIDEOPROCAMP_CONTRAST},
                                                          {options.saturation, KSPROPERTY_VIDEOPROCAMP_SATURATION}};
  for (const auto& [setting, id] : procAmp) {
    if (!setting) continue;
    KSPROPERTY_VIDEOPROCAMP_S value{PropertyOf(PROPSETID_VIDCAP_VIDEOPROCAMP, id), *setting,
                                    KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL, 0};
    Require(device_->setProperty(value).status, "setting a picture control");
  }

  // The format's frame interval follows the camera's rate, within the 30 to 6
  // frames a second the driver offers, so that picture numbers count frames.
  const LONGLONG interval = options.frameInterval.value_or(
      std::clamp<LONGLONG>(std::llround(1e7 / options.framesPerSecond), 333333, 1666667));
  const KS_DATAFORMAT_VIDEOINFOHEADER format = MakeVideoFormat(options.width, options.height, options.iyuv, interval);
  frameBytes_ = format.VideoInfoHeader.bmiHeader.biSizeImage;
  NTSTATUS status = STATUS_SUCCESS;
  stream_ = device_->openStream(0, &format.DataFormat, &status);
  if (!stream_) {
    throw std::runtime_error("the driver refuses " + std::string(options.iyuv ? "iyuv " : "rgb24 ") +
                             std::to_string(options.width) + "x" + std::to_string(options.height) +
                             " (status " + StatusText(status) + ")");
  }
  if (options.mirror) {
    KSPROPERTY_VIDEOCONTROL_MODE_S value{PropertyOf(PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_MODE), 0,
                                         *options.mirror ? KS_VideoControlFlag_FlipHorizontal : 0};
    Require(device_->setProperty(value).status, "setting the mirror mode");
  }
  if (options.masterClock) {
    clock_ = std::make_unique<platform::ks::MasterClock>(*class_);
    Require(stream_->setMasterClock(clock_.get()).status, "setting the master clock");
  }
  Require(SetState(KSSTATE_PAUSE), "pausing the stream");
}

CaptureSession::~CaptureSession() {
  try {
    Shutdown();
  } catch (...) {
  }
}

NTSTATUS CaptureSession::SetState(KSSTATE state) { return stream_ ? stream_->setState(state).status : STATUS_SUCCESS; }

void CaptureSession::QueueReads() {
  while (static_cast<int>(reads_.size()) < readsQueued_) {
    platform::ks::Request read = stream_->read(frameBytes_);
    if (!read) break;
    reads_.push_back(std::move(read));
  }
}

CapturedFrame CaptureSession::Collect(platform::ks::Request& read) const {
  CapturedFrame frame;
  frame.status = read.status();
  const KSSTREAM_HEADER& header = read.header();
  frame.data.assign(read.data(), read.data() + std::min(header.DataUsed, read.dataSize()));
  frame.optionsFlags = header.OptionsFlags;
  frame.presentationTime = header.PresentationTime.Time;
  if (const KS_FRAME_INFO* info = read.frameInfo()) {
    frame.pictureNumber = info->PictureNumber;
    frame.dropCount = info->DropCount;
  }
  return frame;
}

std::vector<CapturedFrame> CaptureSession::Capture(std::size_t count, platform::Duration limit) {
  std::vector<CapturedFrame> done;
  const platform::TimePoint end = kernel_->now() + limit.count();
  while (done.size() < count) {
    QueueReads();
    kernel_->runUntil([&] { return !reads_.empty() && reads_.front().done(); },
                      platform::Duration(std::max<int64_t>(0, end - kernel_->now())));
    if (reads_.empty() || !reads_.front().done()) break;
    while (!reads_.empty() && reads_.front().done() && done.size() < count) {
      done.push_back(Collect(reads_.front()));
      reads_.erase(reads_.begin());
    }
  }
  return done;
}

std::vector<CapturedFrame> CaptureSession::Stop() {
  SetState(KSSTATE_STOP);
  kernel_->runUntilIdle();
  std::vector<CapturedFrame> done;
  for (auto& read : reads_)
    if (read.done()) done.push_back(Collect(read));
  reads_.clear();
  return done;
}

platform::PoolTagStats CaptureSession::Shutdown() {
  if (stream_) {
    Stop();
    stream_->close();
    stream_.reset();
  }
  clock_.reset();
  if (device_) {
    device_->uninitialize();
    device_.reset();
  }
  kernel_->runUntilIdle();
  return kernel_->poolStats(ISOUSB_POOL_TAG);
}

void CaptureSession::Replug() {
  Shutdown();
  if (host_->portStatus(Port()).connected) host_->unplug(Port());
  camera_->Camera().PowerOn();
  OpenDevice();
  Require(SetState(KSSTATE_RUN), "running the stream");
}

std::size_t CaptureSession::Resets() const {
  std::size_t count = 0;
  for (const std::string& line : host_->log())
    if (line.find("GET_PORT_STATUS") != std::string::npos) ++count;
  return count;
}

std::vector<std::string> CaptureSession::Violations() const {
  std::vector<std::string> all = kernel_->violations();
  for (auto& v : class_->violations()) all.push_back(v);
  return all;
}

}  // namespace torvex::tools
