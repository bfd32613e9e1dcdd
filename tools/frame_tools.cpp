#include "tools/frame_tools.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include "decoder/dcmp.h"
#include "decoder/simd/dcmp_simd.h"

namespace torvex::tools {
namespace {

// A decoder context that releases its buffers when it goes out of scope.
struct Decoder {
    DcmpContext ctx{};
    Decoder(int outWidth, int outHeight, int qualityLevel, bool flip) {
        ctx.outWidth = outWidth;
        ctx.outHeight = outHeight;
        ctx.qualityLevel = qualityLevel;
        ctx.flip = flip ? 1 : 0;
        ready = Dcmp_Initialize(&ctx) == 1;
    }
    ~Decoder() {
        if (ready) Dcmp_Release(&ctx);
    }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;
    bool ready = false;
};

std::string SizeText(int width, int height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

double Psnr(double squaredErrorSum, std::size_t samples) {
    if (squaredErrorSum == 0) return std::numeric_limits<double>::infinity();
    return 10 * std::log10(255.0 * 255.0 * static_cast<double>(samples) / squaredErrorSum);
}

void CheckSameSize(const RgbPicture& a, const RgbPicture& b) {
    if (a.width != b.width || a.height != b.height || a.rgb.size() != b.rgb.size() || a.rgb.empty())
        throw std::invalid_argument("pictures differ in size");
}

std::string ErrnoText() { return std::strerror(errno); }

// Runs `decode` `count` times; the median wall time of one run in milliseconds.
template <typename Decode>
double MedianDecodeMs(int count, Decode decode) {
    std::vector<double> ms;
    ms.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const auto start = std::chrono::steady_clock::now();
        decode();
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    const std::size_t middle = ms.size() / 2;
    return ms.size() % 2 ? ms[middle] : (ms[middle - 1] + ms[middle]) / 2;
}

}  // namespace

std::optional<std::pair<int, int>> CodedSizeFor(int outWidth, int outHeight) {
    Decoder decoder(outWidth, outHeight, 2, false);
    if (!decoder.ready) return std::nullopt;
    return std::pair{decoder.ctx.decWidth, decoder.ctx.decHeight};
}

DecodedFrame DecodeFrame(std::span<const std::uint8_t> frame, const FrameDecodeOptions& options) {
    if (options.qualityLevel < 0 || options.qualityLevel > 9)
        throw InputError("quality level " + std::to_string(options.qualityLevel) + " is outside 0..9");
    if (options.rotation < 0 || options.rotation > 3)
        throw InputError("rotation " + std::to_string(options.rotation) + " is outside 0..3");
    if (frame.size() > DCMP_MAX_FRAME_BYTES)
        throw InputError("frame is " + std::to_string(frame.size()) + " bytes, longer than the " +
                         std::to_string(DCMP_MAX_FRAME_BYTES) + " a camera may send");
    if (frame.empty()) throw InputError("empty file, not a camera frame");

    Decoder decoder(options.outWidth, options.outHeight, options.qualityLevel, options.flip);
    if (!decoder.ready)
        throw InputError("output size " + SizeText(options.outWidth, options.outHeight) +
                         " is not supported by the decoder");
    DcmpContext& ctx = decoder.ctx;
    if (options.simdPath >= 0 && Dcmp_SetSimdPath(&ctx, options.simdPath) != 1) {
        const char* name = Dcmp_SimdPathName(options.simdPath);
        throw InputError(std::string("decoder path ") + (name ? name : std::to_string(options.simdPath).c_str()) +
                         " is not supported by this processor");
    }
    if (options.repeat < 1)
        throw InputError("repeat count " + std::to_string(options.repeat) + " is below 1");

    // The frame in its own frame buffer, followed by the terminating zero byte.
    std::vector<std::uint8_t> frameBuffer(DCMP_FRAME_BUFFER_BYTES, 0);
    std::copy(frame.begin(), frame.end(), frameBuffer.begin());
    ctx.srcFrame = frameBuffer.data();
    ctx.srcFrameSize = frameBuffer.size();
    ctx.rotation = static_cast<int16_t>(options.rotation);

    DecodedFrame out;
    if (options.format == FrameFormat::Iyuv) {
        out.width = ctx.decWidth;
        out.height = ctx.decHeight;
        out.bytes.resize(static_cast<std::size_t>(ctx.decWidth) * ctx.decHeight * 3 / 2);
        ctx.dstPicture = out.bytes.data();
        out.medianMs = MedianDecodeMs(options.repeat, [&ctx] { Dcmp_Decmpfrm420_IYUV(&ctx); });
        return out;
    }
    out.width = options.outWidth;
    out.height = options.outHeight;
    out.bytes.resize(static_cast<std::size_t>(options.outWidth) * options.outHeight * 3);
    // As the driver does: the sampled and cut sizes are converted into workBuf
    // and resized into the application's buffer; the others straight into it.
    if (ctx.outWidth == 176 || ctx.outWidth == 160 || ctx.scaleMode == 4) {
        ctx.dstPicture = ctx.workBuf + static_cast<std::size_t>(ctx.decHeight - 1) * ctx.decWidth * 3;
        ctx.dstFinal = out.bytes.data();
    } else {
        ctx.dstPicture = out.bytes.data() + static_cast<std::size_t>(ctx.outHeight - 1) * ctx.outWidth * 3;
    }
    out.medianMs = MedianDecodeMs(options.repeat, [&ctx] { Dcmp_Decmpfrm420(&ctx); });
    return out;
}

RgbPicture FromBottomUpBgr(std::span<const std::uint8_t> bytes, int width, int height) {
    if (bytes.size() != static_cast<std::size_t>(width) * height * 3)
        throw std::invalid_argument("picture bytes do not match its size");
    RgbPicture picture(width, height);
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* src = bytes.data() + static_cast<std::size_t>(height - 1 - y) * width * 3;
        for (int x = 0; x < width; ++x, src += 3) {
            std::uint8_t* dst = picture.Pixel(x, y);
            dst[0] = src[2];
            dst[1] = src[1];
            dst[2] = src[0];
        }
    }
    return picture;
}

RgbPicture FromIyuv(std::span<const std::uint8_t> bytes, int width, int height) {
    const std::size_t lumaBytes = static_cast<std::size_t>(width) * height;
    if (!sim::IsCodedSize(width, height) || bytes.size() != lumaBytes * 3 / 2)
        throw std::invalid_argument("planar picture must have a coded size");
    Decoder decoder(width, height, 2, false);
    if (!decoder.ready) throw std::runtime_error("decoder cannot be prepared");
    DcmpContext& ctx = decoder.ctx;
    std::copy_n(bytes.data(), lumaBytes, ctx.planeY);
    std::copy_n(bytes.data() + lumaBytes, lumaBytes / 4, ctx.planeU);
    std::copy_n(bytes.data() + lumaBytes * 5 / 4, lumaBytes / 4, ctx.planeV);
    std::vector<std::uint8_t> bgr(lumaBytes * 3);
    ctx.dstPicture = bgr.data() + (lumaBytes - width) * 3;
    WMMX_YUV12ToRGB24(&ctx);
    return FromBottomUpBgr(bgr, width, height);
}

double LumaPsnr(const RgbPicture& reference, const RgbPicture& decoded) {
    CheckSameSize(reference, decoded);
    auto luma = [](const std::uint8_t* p) { return 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2]; };
    double sum = 0;
    const std::size_t pixels = reference.rgb.size() / 3;
    for (std::size_t i = 0; i < pixels; ++i) {
        const double d = luma(&reference.rgb[3 * i]) - luma(&decoded.rgb[3 * i]);
        sum += d * d;
    }
    return Psnr(sum, pixels);
}

double RgbPsnr(const RgbPicture& reference, const RgbPicture& decoded) {
    CheckSameSize(reference, decoded);
    double sum = 0;
    for (std::size_t i = 0; i < reference.rgb.size(); ++i) {
        const double d = static_cast<double>(reference.rgb[i]) - decoded.rgb[i];
        sum += d * d;
    }
    return Psnr(sum, reference.rgb.size());
}

std::vector<std::uint8_t> ReadAll(const std::string& path) {
    const bool standardInput = path == "-";
    std::unique_ptr<FILE, int (*)(FILE*)> file(standardInput ? stdin : std::fopen(path.c_str(), "rb"),
                                               standardInput ? +[](FILE*) { return 0; } : &std::fclose);
    if (!file) throw InputError(ErrnoText());
    struct stat info {};
    if (fstat(fileno(file.get()), &info) == 0 && S_ISDIR(info.st_mode)) throw InputError("is a directory");
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[65536];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
    if (std::ferror(file.get())) throw InputError(ErrnoText());
    return bytes;
}

void WriteAll(const std::string& path, std::span<const std::uint8_t> bytes) {
    if (path == "-") {
        if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() || std::fflush(stdout) != 0)
            throw InputError(ErrnoText());
        return;
    }
    std::string temporary = path + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) throw InputError(ErrnoText());
    // mkstemp makes the file private; give it the usual permissions.
    const mode_t mask = umask(0);
    umask(mask);
    int error = fchmod(fd, 0666 & ~mask) == 0 ? 0 : errno;
    for (std::size_t done = 0; error == 0 && done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n == 0)
            error = EIO;
        else if (errno != EINTR)
            error = errno;
    }
    if (close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && std::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    if (error == 0) return;
    std::remove(temporary.c_str());
    throw InputError(std::strerror(error));
}

std::optional<std::pair<int, int>> ParseSize(const std::string& text) {
    const std::size_t cross = text.find_first_of("xX");
    if (cross == std::string::npos) return std::nullopt;
    // Digits only, 1 to 5 of them, value 1..65535.
    auto number = [](const std::string& digits) -> int {
        if (digits.empty() || digits.size() > 5) return 0;
        int value = 0;
        for (char c : digits) {
            if (c < '0' || c > '9') return 0;
            value = value * 10 + (c - '0');
        }
        return value <= 65535 ? value : 0;
    };
    const int width = number(text.substr(0, cross));
    const int height = number(text.substr(cross + 1));
    if (width == 0 || height == 0) return std::nullopt;
    return std::pair{width, height};
}

}  // namespace torvex::tools
