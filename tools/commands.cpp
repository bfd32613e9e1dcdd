#include "tools/commands.h"

#include <algorithm>
#include <cctype>
#include <iostream>

#include "decoder/simd/dcmp_simd.h"
#include "tools/frame_tools.h"

namespace torvex::tools {

std::string ProblemText(const std::string& subject, const std::string& problem) {
    return subject.empty() ? problem : subject + ": " + problem;
}

void PrintProblem(const std::string& subject, const std::string& problem) {
    std::cerr << "torvex: " << ProblemText(subject, problem) << "\n";
}

CLI::Option* AddSizeOption(CLI::App& command, int& width, int& height, const std::string& description) {
    return command
        .add_option_function<std::string>(
            "--size",
            [&width, &height](const std::string& text) {
                const auto size = ParseSize(text);
                if (!size) throw CLI::ValidationError("--size", "expected WxH, for example 640x480, not " + text);
                width = size->first;
                height = size->second;
            },
            description)
        ->type_name("WxH")
        ->required();
}

CLI::Option* AddQualityOption(CLI::App& command, int& level, const std::string& description) {
    return command.add_option("--quality", level, description)->check(CLI::Range(0, 9))->capture_default_str();
}

CLI::Option* AddSimdOption(CLI::App& command, std::string& name) {
    return command
        .add_option("--simd", name, "decoder path: scalar, sse2, avx2 or avx512 (default: the fastest this "
                                    "processor runs)")
        ->check(CLI::IsMember({"scalar", "sse2", "avx2", "avx512"}));
}

int SimdPathOf(const std::string& name) {
    if (name.empty())
        return -1;
    const int path = Dcmp_SimdPathFromName(name.c_str());
    if (!Dcmp_SimdPathSupported(path))
        throw CommandError("--simd " + name, "this processor does not run that decoder path");
    return path;
}

std::vector<std::uint8_t> ReadInputFile(const std::string& path) {
    try {
        return ReadAll(path);
    } catch (const InputError& e) {
        throw CommandError(path, e.what());
    }
}

void WriteOutputFile(const std::string& path, std::span<const std::uint8_t> bytes) {
    try {
        WriteAll(path, bytes);
    } catch (const InputError& e) {
        throw CommandError(path, e.what());
    }
}

RgbPicture ReadPhotograph(const std::string& path) {
    const std::vector<std::uint8_t> bytes = ReadInputFile(path);
    try {
        return DecodeImage(bytes);
    } catch (const ImageError& e) {
        throw CommandError(path, e.what());
    }
}

ImageOutput ImageOutputOf(const std::string& path) {
    if (path == "-") return ImageOutput::Raw;
    const std::size_t dot = path.find_last_of('.');
    std::string extension = dot == std::string::npos ? "" : path.substr(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (extension == "raw") return ImageOutput::Raw;
    if (extension == "bmp") return ImageOutput::Bmp;
    if (extension == "png") return ImageOutput::Png;
    throw CommandError(path, "unknown output type (use .raw, .bmp or .png)");
}

void WriteImageFile(const std::string& path, ImageOutput kind, const RgbPicture& picture) {
    WriteOutputFile(path, kind == ImageOutput::Bmp ? EncodeBmp(picture) : EncodePng(picture));
}

void WriteDecoderOutput(const std::string& path, ImageOutput kind, std::span<const std::uint8_t> raw,
                        const std::function<RgbPicture()>& toPicture) {
    if (kind == ImageOutput::Raw)
        WriteOutputFile(path, raw);
    else
        WriteImageFile(path, kind, toPicture());
}

}  // namespace torvex::tools
