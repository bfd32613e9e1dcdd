// Subcommands of the torvex command line, and the helpers they share.
//
// Each subcommand lives in its own source file and provides one Add...Command
// function that adds a CLI11 subcommand to the application and sets its
// callback; main() calls every Add function. A callback reports bad input by
// throwing CommandError, which main() prints as "torvex: FILE: what is wrong"
// and turns into exit status 1.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/imageio.h"

namespace torvex::tools {

// "SUBJECT: PROBLEM", or only PROBLEM when there is no subject.
std::string ProblemText(const std::string& subject, const std::string& problem);

class CommandError : public std::runtime_error {
public:
    // `subject` is the file or argument at fault; empty for none.
    CommandError(const std::string& subject, const std::string& problem)
        : std::runtime_error(ProblemText(subject, problem)) {}
};

// Prints "torvex: SUBJECT: PROBLEM" as one line on standard error.
void PrintProblem(const std::string& subject, const std::string& problem);

void AddEncodeFrameCommand(CLI::App& app);
void AddDecodeFrameCommand(CLI::App& app);
void AddDemoCommand(CLI::App& app);
void AddCaptureCommand(CLI::App& app);  // built when the driver is part of the build
void AddEncodeStillCommand(CLI::App& app);
void AddDecodeStillCommand(CLI::App& app);

// Adds --size WxH (required) to a subcommand, storing into width and height.
CLI::Option* AddSizeOption(CLI::App& command, int& width, int& height, const std::string& description);
// Adds --quality N (0..9, default shown as `level`'s initial value).
CLI::Option* AddQualityOption(CLI::App& command, int& level, const std::string& description);
// Adds --simd scalar|sse2|avx2|avx512, storing the name (empty when not given).
CLI::Option* AddSimdOption(CLI::App& command, std::string& name);
// The decoder path of a --simd name: -1 (the fastest the processor runs) for
// an empty name; throws CommandError when this processor does not run it.
int SimdPathOf(const std::string& name);

// Whole-file input and output ("-" is standard input or output; output never
// leaves a partial file). Failures throw CommandError naming the file.
std::vector<std::uint8_t> ReadInputFile(const std::string& path);
void WriteOutputFile(const std::string& path, std::span<const std::uint8_t> bytes);

// Reads a photograph (PNG, JPEG, BMP or PPM); throws CommandError naming the file.
RgbPicture ReadPhotograph(const std::string& path);

// What a decoding subcommand writes, chosen by OUTPUT's extension (any case):
// .raw the decoder's bytes as they are, .bmp or .png an image file; "-"
// (standard output) is raw. Any other name throws CommandError.
enum class ImageOutput { Raw, Bmp, Png };
ImageOutput ImageOutputOf(const std::string& path);

// Writes `picture` as a PNG or BMP file (`kind` Png or Bmp).
void WriteImageFile(const std::string& path, ImageOutput kind, const RgbPicture& picture);

// Writes decoder output: `raw` as it is for ImageOutput::Raw, otherwise the
// picture that `toPicture` makes of it as an image file.
void WriteDecoderOutput(const std::string& path, ImageOutput kind, std::span<const std::uint8_t> raw,
                        const std::function<RgbPicture()>& toPicture);

}  // namespace torvex::tools
