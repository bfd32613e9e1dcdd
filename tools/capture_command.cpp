// capture: live video from the simulated camera through the torvexv driver, as
// a capture application receives it.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>

#include "tools/capture_session.h"
#include "tools/commands.h"
#include "tools/frame_tools.h"
#include "tools/imageio.h"

namespace torvex::tools {
namespace {

namespace fs = std::filesystem;
using sim::StreamFault;
using sim::StreamFaultKind;

#ifdef TORVEX_PHOTOS_DIR
constexpr const char* kDefaultPhotos = TORVEX_PHOTOS_DIR;
#else
constexpr const char* kDefaultPhotos = "../shared/testdata/photos";
#endif

struct CaptureArgs {
  std::string output, log, size = "320x240", format = "rgb24", mirror;
  std::vector<std::string> sources, faults;
  int frames = 30;
  double fps = 15.0;
  std::optional<int> quality, rotation, brightness, contrast, saturation;
  bool realtime = false;
  unsigned seed = 1;
};

// A fault given as NAME, NAME@FRAME or NAME@SECONDSs.
struct FaultPlan {
  std::string name;
  std::optional<int> frame;
  std::optional<double> seconds;
  bool done = false;
};

const char* const kFaultNames[] = {"stall",        "disable-port", "unplug", "replug", "short-packet",
                                   "packet-error", "overflow",     "busy",   "no-answer", "button"};

FaultPlan ParseFault(const std::string& text) {
  FaultPlan plan;
  const auto at = text.find('@');
  plan.name = text.substr(0, at);
  if (std::find(std::begin(kFaultNames), std::end(kFaultNames), plan.name) == std::end(kFaultNames))
    throw CommandError("--fault " + text, "unknown fault (stall, disable-port, unplug, replug, short-packet, "
                                          "packet-error, overflow, busy, no-answer, button)");
  if (at == std::string::npos) {
    plan.frame = 1;
    return plan;
  }
  std::string when = text.substr(at + 1);
  try {
    size_t used = 0;
    if (!when.empty() && when.back() == 's') {
      plan.seconds = std::stod(when.substr(0, when.size() - 1), &used);
      if (used + 1 != when.size() || !(*plan.seconds >= 0)) throw std::invalid_argument(when);
    } else {
      plan.frame = std::stoi(when, &used);
      if (used != when.size() || *plan.frame < 0) throw std::invalid_argument(when);
    }
  } catch (const std::logic_error&) {
    throw CommandError("--fault " + text, "give the time as a frame number (stall@30) or seconds (stall@2.5s)");
  }
  return plan;
}

void Inject(CaptureSession& session, const std::string& name, std::mt19937& random) {
  sim::SimCamera& camera = session.Camera();
  StreamFault fault;
  fault.afterPackets = random() % 50;  // somewhere within the next frame
  if (name == "replug") return session.Replug();
  if (name == "button") return camera.PressButton();
  if (name == "busy" || name == "no-answer") {
    sim::ControlFault control;
    control.kind = name == "busy" ? sim::ControlFaultKind::Busy : sim::ControlFaultKind::NoAnswer;
    control.count = name == "busy" ? 3 : 1;
    return camera.ArmControlFault(control);
  }
  if (name == "stall") fault.kind = StreamFaultKind::Stall;
  if (name == "disable-port") fault.kind = StreamFaultKind::DisablePort;
  if (name == "unplug") fault.kind = StreamFaultKind::Unplug;
  if (name == "short-packet") fault.kind = StreamFaultKind::ShortPacket;
  if (name == "packet-error") fault.kind = StreamFaultKind::PacketError;
  if (name == "overflow") fault.kind = StreamFaultKind::OversizeFrame;
  camera.ArmStreamFault(fault);
}

// A source file is a photograph, or else a compressed frame sent as it is.
void LoadSources(const std::vector<std::string>& paths, CaptureOptions& options) {
  std::vector<fs::path> files;
  if (paths.empty()) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(kDefaultPhotos, error))
      if (entry.path().extension() == ".png") files.push_back(entry.path());
    if (files.empty()) throw CommandError(kDefaultPhotos, "no sample photographs here; give --source");
    std::sort(files.begin(), files.end());
  } else {
    files.assign(paths.begin(), paths.end());
  }
  for (const fs::path& file : files) {
    std::vector<std::uint8_t> bytes;
    try {
      bytes = ReadAll(file.string());
    } catch (const InputError& e) {
      throw CommandError(file.string(), e.what());
    }
    try {
      options.pictures.push_back(DecodeImage(bytes));
      continue;
    } catch (const std::exception&) {
    }
    if (bytes.size() < 6 || bytes.size() > 142232 || bytes[0] != 0x00 || bytes[1] < 0x01 || bytes[1] > 0x3F)
      throw CommandError(file.string(), "neither a picture nor a camera frame");
    options.frames.push_back(std::move(bytes));
  }
  if (!options.pictures.empty() && !options.frames.empty())
    throw CommandError("--source", "give either photographs or compressed frames, not both");
}

// Bottom-up BGR to full-range 4:2:0 Y, Cb, Cr planes (JPEG conversion).
std::vector<std::uint8_t> Rgb24ToI420(const std::vector<std::uint8_t>& bgr, int width, int height) {
  const int cw = (width + 1) / 2, ch = (height + 1) / 2;
  std::vector<std::uint8_t> out(static_cast<size_t>(width) * height + 2 * static_cast<size_t>(cw) * ch);
  auto clamp = [](double v) { return static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L)); };
  auto pixel = [&](int x, int y) { return &bgr[(static_cast<size_t>(height - 1 - y) * width + x) * 3]; };
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const std::uint8_t* p = pixel(x, y);
      out[static_cast<size_t>(y) * width + x] = clamp(0.299 * p[2] + 0.587 * p[1] + 0.114 * p[0]);
    }
  std::uint8_t* u = out.data() + static_cast<size_t>(width) * height;
  std::uint8_t* v = u + static_cast<size_t>(cw) * ch;
  for (int y = 0; y < ch; ++y)
    for (int x = 0; x < cw; ++x) {
      double r = 0, g = 0, b = 0;
      int n = 0;
      for (int dy = 0; dy < 2 && 2 * y + dy < height; ++dy)
        for (int dx = 0; dx < 2 && 2 * x + dx < width; ++dx, ++n) {
          const std::uint8_t* p = pixel(2 * x + dx, 2 * y + dy);
          b += p[0], g += p[1], r += p[2];
        }
      r /= n, g /= n, b /= n;
      u[static_cast<size_t>(y) * cw + x] = clamp(128 - 0.168736 * r - 0.331264 * g + 0.5 * b);
      v[static_cast<size_t>(y) * cw + x] = clamp(128 + 0.5 * r - 0.418688 * g - 0.081312 * b);
    }
  return out;
}

enum class OutputKind { Raw, Y4m, Directory };

OutputKind OutputKindOf(const std::string& path) {
  const std::string extension = fs::path(path).extension().string();
  std::string lower(extension.size(), ' ');
  std::transform(extension.begin(), extension.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  if (lower == ".raw") return OutputKind::Raw;
  if (lower == ".y4m") return OutputKind::Y4m;
  if (lower.empty() || fs::is_directory(path)) return OutputKind::Directory;
  throw CommandError(path, "unknown output type (use .raw, .y4m or a directory)");
}

// Writes the frames as they arrive; a stream file goes to a temporary name
// that replaces OUTPUT only when the capture succeeded.
class FrameWriter {
 public:
  FrameWriter(std::string path, int width, int height, bool iyuv, double fps)
      : path_(std::move(path)), kind_(OutputKindOf(path_)), width_(width), height_(height), iyuv_(iyuv) {
    if (kind_ == OutputKind::Directory) {
      std::error_code error;
      fs::create_directories(path_, error);
      if (error || !fs::is_directory(path_)) throw CommandError(path_, "cannot create the directory");
      return;
    }
    temporary_ = path_ + ".partial";
    file_.open(temporary_, std::ios::binary | std::ios::trunc);
    if (!file_) throw CommandError(path_, "cannot write here");
    if (kind_ == OutputKind::Y4m)
      file_ << "YUV4MPEG2 W" << width << " H" << height << " F" << std::lround(fps * 1000) << ":1000 Ip A1:1 C420jpeg\n";
  }
  ~FrameWriter() {
    if (!temporary_.empty()) {
      file_.close();
      std::error_code error;
      fs::remove(temporary_, error);
    }
  }

  void Write(const CapturedFrame& frame) {
    if (frame.data.empty()) return;
    ++index_;
    if (kind_ == OutputKind::Raw) {
      file_.write(reinterpret_cast<const char*>(frame.data.data()), static_cast<std::streamsize>(frame.data.size()));
    } else if (kind_ == OutputKind::Y4m) {
      const std::vector<std::uint8_t> planes = iyuv_ ? frame.data : Rgb24ToI420(frame.data, width_, height_);
      file_ << "FRAME\n";
      file_.write(reinterpret_cast<const char*>(planes.data()), static_cast<std::streamsize>(planes.size()));
    } else {
      const sim::RgbPicture picture =
          iyuv_ ? FromIyuv(frame.data, width_, height_) : FromBottomUpBgr(frame.data, width_, height_);
      char name[32];
      std::snprintf(name, sizeof name, "frame_%05zu.png", index_);
      WriteAll((fs::path(path_) / name).string(), EncodePng(picture));
    }
    if (!file_ && kind_ != OutputKind::Directory) throw CommandError(path_, "write failed");
  }

  void Finish() {
    if (temporary_.empty()) return;
    file_.close();
    std::error_code error;
    fs::rename(temporary_, path_, error);
    if (error) throw CommandError(path_, "cannot write here");
    temporary_.clear();
  }

 private:
  std::string path_;
  OutputKind kind_;
  int width_, height_;
  bool iyuv_;
  std::string temporary_;
  std::ofstream file_;
  size_t index_ = 0;
};

std::string FlagsText(const CapturedFrame& frame) {
  std::ostringstream text;
  text << "0x" << std::hex << frame.optionsFlags << std::dec;
  if (frame.optionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) text << " discontinuity";
  if (frame.status == STATUS_CANCELLED) text << " cancelled";
  else if (frame.data.empty()) text << " empty";
  return text.str();
}

void RunCapture(const CaptureArgs& args) {
  CaptureOptions options;
  const auto size = ParseSize(args.size);
  if (!size) throw CommandError("--size " + args.size, "give the size as WxH, e.g. 320x240");
  options.width = size->first;
  options.height = size->second;
  if (args.format != "rgb24" && args.format != "iyuv")
    throw CommandError("--format " + args.format, "use rgb24 or iyuv");
  options.iyuv = args.format == "iyuv";
  if (args.frames <= 0) throw CommandError("--frames", "give at least one frame");
  if (!(args.fps > 0 && args.fps <= 1000)) throw CommandError("--fps", "give a rate above 0 and at most 1000");
  options.framesPerSecond = args.fps;
  if (!args.mirror.empty()) {
    if (args.mirror != "on" && args.mirror != "off") throw CommandError("--mirror " + args.mirror, "use on or off");
    options.mirror = args.mirror == "on";
  }
  if (args.rotation && *args.rotation % 90 != 0)
    throw CommandError("--rotation", "use 0, 90, 180 or 270");
  options.rotation = args.rotation;
  options.quality = args.quality;
  options.brightness = args.brightness;
  options.contrast = args.contrast;
  options.saturation = args.saturation;
  std::vector<FaultPlan> faults;
  for (const std::string& fault : args.faults) faults.push_back(ParseFault(fault));
  OutputKindOf(args.output);  // a bad output name fails before any work
  LoadSources(args.sources, options);

  std::unique_ptr<CaptureSession> session;
  try {
    session = std::make_unique<CaptureSession>(options);
  } catch (const std::runtime_error& e) {
    throw CommandError("", e.what());
  }
  FrameWriter writer(args.output, options.width, options.height, options.iyuv, args.fps);
  std::ofstream log;
  if (!args.log.empty()) {
    log.open(args.log, std::ios::trunc);
    if (!log) throw CommandError(args.log, "cannot write the log here");
  }
  std::mt19937 random(args.seed);
  if (args.realtime) session->Kernel().startRealTime(1.0);
  if (!NT_SUCCESS(session->SetState(KSSTATE_RUN))) throw CommandError("", "the driver cannot start streaming");

  const bool terminal = isatty(STDERR_FILENO);
  size_t delivered = 0, discontinuities = 0;
  LONGLONG dropped = 0;
  int idleRounds = 0;
  const std::clock_t cpuStart = std::clock();
  while (delivered < static_cast<size_t>(args.frames)) {
    platform::Duration step = std::chrono::seconds(1);
    for (FaultPlan& fault : faults) {
      if (fault.done) continue;
      const double now = session->Kernel().now() / 1e7;
      if ((fault.frame && delivered >= static_cast<size_t>(*fault.frame)) || (fault.seconds && now >= *fault.seconds)) {
        fault.done = true;
        try {
          Inject(*session, fault.name, random);
        } catch (const std::runtime_error& e) {
          throw CommandError("--fault " + fault.name, e.what());
        }
      } else if (fault.seconds) {
        step = std::min(step, platform::Duration(static_cast<int64_t>((*fault.seconds - now) * 1e7) + 1));
      }
    }
    const auto frames = session->Capture(1, step);
    const bool picture = std::any_of(frames.begin(), frames.end(), [](const CapturedFrame& f) {
      return f.status == STATUS_SUCCESS && !f.data.empty();
    });
    if (!picture) {
      const bool timedFault = std::any_of(faults.begin(), faults.end(), [](const FaultPlan& f) {
        return !f.done && f.seconds;
      });
      const bool anyFault = std::any_of(faults.begin(), faults.end(), [](const FaultPlan& f) { return !f.done; });
      KSSTATE state = KSSTATE_RUN;
      session->Stream().getState(&state);
      if (state == KSSTATE_STOP && session->Host().portStatus(session->Port()).connected) {
        // A read timed out and the driver reset the stream, which leaves it
        // stopped: run it again, as a capture application does.
        session->SetState(KSSTATE_RUN);
      } else if (state == KSSTATE_STOP) {
        // The camera is gone: only a fault still to come can change that.
        if (!timedFault) break;
        session->Kernel().advance(step);
      } else if (frames.empty() && !anyFault && ++idleRounds >= 10) {
        break;  // nothing for 10 s of stream time
      }
    }
    if (frames.empty()) continue;
    idleRounds = 0;
    for (const CapturedFrame& frame : frames) {
      writer.Write(frame);
      if (frame.status == STATUS_SUCCESS && !frame.data.empty()) ++delivered;
      if (frame.optionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) ++discontinuities;
      dropped = std::max(dropped, frame.dropCount);
      if (log)
        log << "picture " << frame.pictureNumber << " drops " << frame.dropCount << " time "
            << frame.presentationTime << " flags " << FlagsText(frame) << "\n";
    }
    if (terminal && args.frames >= 100 && delivered % 25 == 0)
      std::cerr << "\rcaptured " << delivered << "/" << args.frames << " frames" << std::flush;
  }
  const double cpuSeconds = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
  if (terminal && args.frames >= 100) std::cerr << "\n";
  const size_t resets = session->Resets();
  const auto leftover = session->Shutdown();
  writer.Finish();
  std::cout << "frames delivered " << delivered << ", dropped " << dropped << ", discontinuities " << discontinuities
            << ", resets " << resets << ", mean CPU time per frame "
            << (delivered ? cpuSeconds * 1000 / static_cast<double>(delivered) : 0.0) << " ms\n";
  if (leftover.liveCount != 0) throw CommandError("", "the driver left memory allocated (" +
                                                          std::to_string(leftover.liveBytes) + " bytes)");
  if (delivered < static_cast<size_t>(args.frames))
    throw CommandError(args.output, "the camera stopped sending after " + std::to_string(delivered) +
                                        " frames (they are kept here)");
}

}  // namespace

void AddCaptureCommand(CLI::App& app) {
  auto args = std::make_shared<CaptureArgs>();
  CLI::App* command = app.add_subcommand("capture", "capture live video from the simulated camera through the driver");
  command->add_option("--size", args->size, "picture size WxH")->capture_default_str();
  command->add_option("--format", args->format, "rgb24 or iyuv")->capture_default_str();
  command->add_option("--frames", args->frames, "frames to capture")->capture_default_str();
  command->add_option("--fps", args->fps, "the camera's frame rate")->capture_default_str();
  command->add_option("--source", args->sources, "photographs, or compressed frames sent as they are");
  command->add_option("--compression-quality", args->quality, "compression quality 0..7999");
  command->add_option("--mirror", args->mirror, "on or off");
  command->add_option("--rotation", args->rotation, "0, 90, 180 or 270");
  command->add_option("--brightness", args->brightness, "picture control");
  command->add_option("--contrast", args->contrast, "picture control");
  command->add_option("--saturation", args->saturation, "picture control");
  command->add_option("--fault", args->faults, "NAME[@FRAME|@SECONDSs]: stall, disable-port, unplug, replug, "
                                               "short-packet, packet-error, overflow, busy, no-answer, button");
  command->add_flag("--realtime", args->realtime, "run at the speed of the wall clock");
  command->add_option("--seed", args->seed, "seed of the fault positions")->capture_default_str();
  command->add_option("--log", args->log, "a line per frame to this file");
  command->add_option("OUTPUT", args->output, ".raw, .y4m or a directory of PNGs")->required();
  command->callback([args] { RunCapture(*args); });
}

}  // namespace torvex::tools
