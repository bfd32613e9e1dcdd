#include "tools/imageio.h"

#include <algorithm>
#include <cctype>
#include <csetjmp>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>

#include <jpeglib.h>
#include <png.h>

namespace torvex::tools {
namespace {

void CheckSize(long long width, long long height, const char* format) {
    if (width < 1 || height < 1)
        throw ImageError(std::string(format) + " picture has no pixels");
    if (width > kMaxImageSide || height > kMaxImageSide ||
        static_cast<unsigned long long>(width * height) > kMaxImagePixels)
        throw ImageError(std::string(format) + " picture is too large (" + std::to_string(width) + "x" +
                         std::to_string(height) + ")");
}

std::uint32_t Le32(std::span<const std::uint8_t> b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
std::uint16_t Le16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

// ---- PNG, through libpng's simplified interface (no longjmp needed) ----

RgbPicture DecodePng(std::span<const std::uint8_t> bytes) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size()))
        throw ImageError(std::string("bad PNG: ") + image.message);
    try {
        CheckSize(image.width, image.height, "PNG");
    } catch (...) {
        png_image_free(&image);
        throw;
    }
    image.format = PNG_FORMAT_RGB;  // grey, palette and 16-bit are converted; alpha over white
    RgbPicture picture(static_cast<int>(image.width), static_cast<int>(image.height));
    png_color white{255, 255, 255};
    if (!png_image_finish_read(&image, &white, picture.rgb.data(), 0, nullptr)) {
        const std::string message = image.message;
        png_image_free(&image);
        throw ImageError("bad PNG: " + message);
    }
    return picture;
}

// ---- JPEG, through libjpeg with an error handler that jumps back ----

struct JpegError {
    jpeg_error_mgr manager;  // first member: libjpeg hands back a pointer to it
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void JpegFail(j_common_ptr info) {
    auto* error = reinterpret_cast<JpegError*>(info->err);
    error->manager.format_message(info, error->message);
    std::longjmp(error->jump, 1);
}

// Corrupt data is an error too (libjpeg would only warn and fill in grey).
void JpegWarn(j_common_ptr info, int level) {
    if (level < 0) JpegFail(info);
}

// Decodes into `picture`; false with error->message set on failure. Only
// trivially destructible locals live here, so the jump back is safe.
bool DecodeJpegInto(std::span<const std::uint8_t> bytes, RgbPicture* picture, JpegError* error) {
    jpeg_decompress_struct info;
    info.err = jpeg_std_error(&error->manager);
    error->manager.error_exit = JpegFail;
    error->manager.emit_message = JpegWarn;
    error->message[0] = '\0';
    if (setjmp(error->jump)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, bytes.data(), static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&info, TRUE);
    if (info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK) {
        std::snprintf(error->message, sizeof error->message, "CMYK pictures are not supported");
        jpeg_destroy_decompress(&info);
        return false;
    }
    if (info.image_width < 1 || info.image_height < 1 || info.image_width > kMaxImageSide ||
        info.image_height > kMaxImageSide ||
        static_cast<std::size_t>(info.image_width) * info.image_height > kMaxImagePixels) {
        std::snprintf(error->message, sizeof error->message, "picture is too large (%ux%u)", info.image_width,
                      info.image_height);
        jpeg_destroy_decompress(&info);
        return false;
    }
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    picture->width = static_cast<int>(info.output_width);
    picture->height = static_cast<int>(info.output_height);
    picture->rgb.resize(static_cast<std::size_t>(info.output_width) * info.output_height * 3);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = picture->rgb.data() + static_cast<std::size_t>(info.output_scanline) * info.output_width * 3;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

RgbPicture DecodeJpeg(std::span<const std::uint8_t> bytes) {
    RgbPicture picture;
    JpegError error;
    if (!DecodeJpegInto(bytes, &picture, &error)) throw ImageError(std::string("bad JPEG: ") + error.message);
    return picture;
}

// Baseline JPEG with libjpeg's defaults (YCbCr, 4:2:0), from memory to memory.
bool EncodeJpegInto(const RgbPicture& picture, int quality, std::vector<std::uint8_t>* out, JpegError* error) {
    jpeg_compress_struct info;
    info.err = jpeg_std_error(&error->manager);
    error->manager.error_exit = JpegFail;
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    if (setjmp(error->jump)) {
        jpeg_destroy_compress(&info);
        std::free(buffer);
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = static_cast<JDIMENSION>(picture.width);
    info.image_height = static_cast<JDIMENSION>(picture.height);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(picture.Pixel(0, static_cast<int>(info.next_scanline)));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    out->assign(buffer, buffer + size);
    jpeg_destroy_compress(&info);
    std::free(buffer);
    return true;
}

// ---- BMP: 24- and 32-bit uncompressed ----

RgbPicture DecodeBmp(std::span<const std::uint8_t> bytes) {
    constexpr std::size_t kFileHeader = 14;
    if (bytes.size() < kFileHeader + 40) throw ImageError("bad BMP: file too short");
    const std::uint32_t dataOffset = Le32(bytes, 10);
    const std::uint32_t infoSize = Le32(bytes, 14);
    if (infoSize < 40 || infoSize > 124) throw ImageError("bad BMP: unsupported header size " + std::to_string(infoSize));
    const auto width = static_cast<std::int32_t>(Le32(bytes, 18));
    const auto rawHeight = static_cast<std::int32_t>(Le32(bytes, 22));
    const std::uint16_t bits = Le16(bytes, 28);
    const std::uint32_t compression = Le32(bytes, 30);
    if ((bits != 24 && bits != 32) || compression != 0)
        throw ImageError("unsupported BMP: only 24- and 32-bit uncompressed pictures are read");
    if (rawHeight == INT32_MIN) throw ImageError("bad BMP: bad height");
    const bool topDown = rawHeight < 0;
    const long long height = topDown ? -static_cast<long long>(rawHeight) : rawHeight;
    CheckSize(width, height, "BMP");
    const std::size_t pixelBytes = bits / 8;
    const std::size_t stride = (width * pixelBytes + 3) / 4 * 4;
    if (dataOffset > bytes.size() || bytes.size() - dataOffset < stride * height)
        throw ImageError("bad BMP: pixel data is truncated");
    RgbPicture picture(width, static_cast<int>(height));
    for (int y = 0; y < picture.height; ++y) {
        const std::size_t row = topDown ? y : picture.height - 1 - y;
        const std::uint8_t* src = bytes.data() + dataOffset + row * stride;
        for (int x = 0; x < width; ++x, src += pixelBytes) {
            std::uint8_t* dst = picture.Pixel(x, y);
            dst[0] = src[2];
            dst[1] = src[1];
            dst[2] = src[0];
        }
    }
    return picture;
}

// ---- PPM: binary P6, maxval up to 65535 ----

RgbPicture DecodePpm(std::span<const std::uint8_t> bytes) {
    std::size_t at = 2;
    // Reads one header number, skipping white space and # comments.
    auto number = [&]() -> long long {
        while (at < bytes.size()) {
            if (bytes[at] == '#') {
                while (at < bytes.size() && bytes[at] != '\n') ++at;
            } else if (std::isspace(bytes[at])) {
                ++at;
            } else {
                break;
            }
        }
        if (at >= bytes.size() || !std::isdigit(bytes[at])) throw ImageError("bad PPM: bad header");
        long long value = 0;
        while (at < bytes.size() && std::isdigit(bytes[at])) {
            value = value * 10 + (bytes[at++] - '0');
            if (value > 1000000) throw ImageError("bad PPM: header number too large");
        }
        return value;
    };
    const long long width = number(), height = number(), maxval = number();
    if (at >= bytes.size() || !std::isspace(bytes[at])) throw ImageError("bad PPM: bad header");
    ++at;  // the single white-space byte before the pixels
    CheckSize(width, height, "PPM");
    if (maxval < 1 || maxval > 65535) throw ImageError("bad PPM: maxval outside 1..65535");
    const std::size_t sampleBytes = maxval > 255 ? 2 : 1;
    const std::size_t samples = static_cast<std::size_t>(width * height * 3);
    if (bytes.size() - at < samples * sampleBytes) throw ImageError("bad PPM: pixel data is truncated");
    RgbPicture picture(static_cast<int>(width), static_cast<int>(height));
    for (std::size_t i = 0; i < samples; ++i) {
        const std::uint8_t* s = bytes.data() + at + i * sampleBytes;
        const long long value = sampleBytes == 2 ? (s[0] << 8 | s[1]) : s[0];
        picture.rgb[i] = static_cast<std::uint8_t>((value * 255 + maxval / 2) / maxval);
    }
    return picture;
}

}  // namespace

RgbPicture DecodeImage(std::span<const std::uint8_t> bytes) {
    auto startsWith = [&](std::initializer_list<std::uint8_t> magic) {
        return bytes.size() >= magic.size() && std::equal(magic.begin(), magic.end(), bytes.begin());
    };
    if (startsWith({0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'})) return DecodePng(bytes);
    if (startsWith({0xFF, 0xD8, 0xFF})) return DecodeJpeg(bytes);
    if (startsWith({'B', 'M'})) return DecodeBmp(bytes);
    if (startsWith({'P', '6'})) return DecodePpm(bytes);
    if (bytes.empty()) throw ImageError("empty file");
    throw ImageError("not a PNG, JPEG, BMP or PPM picture");
}

std::vector<std::uint8_t> EncodePng(const RgbPicture& picture) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(picture.width);
    image.height = static_cast<png_uint_32>(picture.height);
    image.format = PNG_FORMAT_RGB;
    png_alloc_size_t size = 0;
    if (!png_image_write_get_memory_size(image, size, 0, picture.rgb.data(), 0, nullptr))
        throw ImageError(std::string("cannot write PNG: ") + image.message);
    std::vector<std::uint8_t> out(size);
    if (!png_image_write_to_memory(&image, out.data(), &size, 0, picture.rgb.data(), 0, nullptr))
        throw ImageError(std::string("cannot write PNG: ") + image.message);
    out.resize(size);
    return out;
}

std::vector<std::uint8_t> EncodeBmp(const RgbPicture& picture) {
    const std::size_t stride = (static_cast<std::size_t>(picture.width) * 3 + 3) / 4 * 4;
    const std::size_t dataSize = stride * picture.height;
    std::vector<std::uint8_t> out(54 + dataSize, 0);
    auto put32 = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    out[0] = 'B';
    out[1] = 'M';
    put32(2, static_cast<std::uint32_t>(out.size()));
    put32(10, 54);
    put32(14, 40);
    put32(18, static_cast<std::uint32_t>(picture.width));
    put32(22, static_cast<std::uint32_t>(picture.height));  // positive: bottom-up rows
    out[26] = 1;                                             // planes
    out[28] = 24;                                            // bits per pixel
    put32(34, static_cast<std::uint32_t>(dataSize));
    put32(38, 2835);  // 72 dpi
    put32(42, 2835);
    for (int y = 0; y < picture.height; ++y) {
        std::uint8_t* dst = out.data() + 54 + static_cast<std::size_t>(picture.height - 1 - y) * stride;
        for (int x = 0; x < picture.width; ++x, dst += 3) {
            const std::uint8_t* src = picture.Pixel(x, y);
            dst[0] = src[2];
            dst[1] = src[1];
            dst[2] = src[0];
        }
    }
    return out;
}

std::vector<std::uint8_t> EncodeJpeg(const RgbPicture& picture, int quality) {
    std::vector<std::uint8_t> bytes;
    JpegError error;
    if (!EncodeJpegInto(picture, quality, &bytes, &error)) throw ImageError(std::string("JPEG: ") + error.message);
    return bytes;
}

}  // namespace torvex::tools
