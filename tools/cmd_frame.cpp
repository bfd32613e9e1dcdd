// encode-frame and decode-frame: photographs to camera frames and back.
#include <cstdio>
#include <sstream>

#include "sim/encoder/encoder.h"
#include "tools/commands.h"
#include "tools/frame_tools.h"
#include "tools/imageio.h"

namespace torvex::tools {
namespace {

struct EncodeFrameArgs {
    std::string input, output;
    int width = 0, height = 0;
    int quality = 2;
};

void RunEncodeFrame(const EncodeFrameArgs& args) {
    const auto coded = CodedSizeFor(args.width, args.height);
    if (!coded)
        throw CommandError("--size " + std::to_string(args.width) + "x" + std::to_string(args.height),
                           "output size not supported by the decoder");
    const RgbPicture picture = ReadPhotograph(args.input);
    const sim::EncodedFrame frame =
        sim::EncodeFrame(sim::FitToSize(picture, coded->first, coded->second), args.quality);
    WriteOutputFile(args.output, frame.bytes);
    if (frame.LevelRaised()) {
        std::ostringstream note;
        note << "frame did not fit " << sim::kMaxFrameBytes << " bytes at quality level " << frame.requestedLevel
             << "; encoded at level " << frame.levelUsed;
        if (frame.frequencyLimit != sim::kAllFrequencies)
            note << " without frequencies u + v above " << frame.frequencyLimit;
        note << " (decode it with --quality " << frame.levelUsed << ")";
        PrintProblem(args.input, note.str());
    }
}

struct DecodeFrameArgs {
    std::string input, output;
    FrameDecodeOptions options;
    std::string format = "rgb24";
    std::string simd;  // empty: the fastest path the processor runs
    int repeat = 0;    // 0: not asked for, no timing line
};

void RunDecodeFrame(DecodeFrameArgs args) {
    const ImageOutput kind = ImageOutputOf(args.output);
    args.options.format = args.format == "iyuv" ? FrameFormat::Iyuv : FrameFormat::Rgb24;
    args.options.simdPath = SimdPathOf(args.simd);
    if (args.repeat > 0) {
        // The timing line goes to standard output, so the picture cannot.
        if (args.output == "-")
            throw CommandError("--repeat", "prints its timing on standard output; write the picture to a file");
        args.options.repeat = args.repeat;
    }
    const std::vector<std::uint8_t> frame = ReadInputFile(args.input);
    // The decoder does not interpret the header, so any bytes decode; a frame the
    // camera sends always starts 0x00, 0x01..0x3F, and anything else is worth a word.
    if (!frame.empty() && !IsFrameStart(frame))
        PrintProblem(args.input, "warning: does not start like a camera frame (0x00, 0x01..0x3F); decoding anyway");
    DecodedFrame decoded;
    try {
        decoded = DecodeFrame(frame, args.options);
    } catch (const InputError& e) {
        throw CommandError(args.input, e.what());
    }
    WriteDecoderOutput(args.output, kind, decoded.bytes, [&] {
        return args.options.format == FrameFormat::Iyuv ? FromIyuv(decoded.bytes, decoded.width, decoded.height)
                                                        : FromBottomUpBgr(decoded.bytes, decoded.width, decoded.height);
    });
    if (args.repeat > 0)
        std::printf("median %.3f ms per frame over %d decodes\n", decoded.medianMs, args.repeat);
}

}  // namespace

void AddEncodeFrameCommand(CLI::App& app) {
    auto args = std::make_shared<EncodeFrameArgs>();
    CLI::App* command = app.add_subcommand(
        "encode-frame",
        "Encode a photograph (PNG, JPEG, BMP or PPM) into a camera frame. The picture is scaled and "
        "centre-cropped to the coded size the decoder chooses for the output size.");
    command->add_option("INPUT", args->input, "photograph, or - for standard input")->required();
    command->add_option("OUTPUT", args->output, "frame bytes, or - for standard output")->required();
    AddSizeOption(*command, args->width, args->height, "requested output size, for example 640x480");
    AddQualityOption(*command, args->quality, "quality level 0..9 (8 finest, 7 coarsest, 9 unscaled tables)");
    command->callback([args] { RunEncodeFrame(*args); });
}

void AddDecodeFrameCommand(CLI::App& app) {
    auto args = std::make_shared<DecodeFrameArgs>();
    CLI::App* command = app.add_subcommand(
        "decode-frame",
        "Decode a camera frame as the driver does. OUTPUT by extension: .raw (exactly the bytes a capture "
        "application's buffer receives), .bmp or .png; - writes raw bytes to standard output.");
    command->add_option("INPUT", args->input, "frame bytes from the header on, or - for standard input")
        ->required();
    command->add_option("OUTPUT", args->output, "output file (.raw, .bmp, .png) or -")->required();
    AddSizeOption(*command, args->options.outWidth, args->options.outHeight,
                  "requested output size, for example 176x144");
    AddQualityOption(*command, args->options.qualityLevel, "quality level 0..9 the frame was coded with");
    command->add_flag("--flip", args->options.flip, "mirror the picture left-right");
    command->add_option("--rotation", args->options.rotation,
                        "0 none, 1 quarter turn counter-clockwise, 2 half turn, 3 quarter turn clockwise")
        ->check(CLI::Range(0, 3))
        ->capture_default_str();
    command->add_option("--format", args->format, "rgb24 (bottom-up BGR at the output size) or iyuv (planar "
                                                  "Y, U, V at the coded size)")
        ->check(CLI::IsMember({"rgb24", "iyuv"}))
        ->capture_default_str();
    AddSimdOption(*command, args->simd);
    command->add_option("--repeat", args->repeat, "decode the frame N times with one decoder and print the median "
                                                  "time per decode (the output is written once)")
        ->type_name("N")
        ->check(CLI::Range(1, 1000000));
    command->callback([args] { RunDecodeFrame(*args); });
}

}  // namespace torvex::tools
