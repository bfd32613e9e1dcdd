// encode-still and decode-still: photographs to stored camera pictures and back.
#include <algorithm>
#include <memory>
#include <sstream>

#include "decoder/dcmp_enhance.h"
#include "decoder/dcmp_still.h"
#include "decoder/simd/dcmp_simd.h"
#include "sim/encoder/still_encoder.h"
#include "tools/commands.h"
#include "tools/frame_tools.h"
#include "tools/imageio.h"

namespace torvex::tools {
namespace {

struct EncodeStillArgs {
    std::string input, output;
    int quality = 0;
};

void RunEncodeStill(const EncodeStillArgs& args) {
    const RgbPicture picture = ReadPhotograph(args.input);
    sim::StillOptions options;
    options.quality = args.quality;
    const sim::EncodedStill still =
        sim::EncodeStill(sim::FitToSize(picture, sim::kStillWidth, sim::kStillHeight), options);
    WriteOutputFile(args.output, still.bytes);
    if (still.QualityRaised()) {
        std::ostringstream note;
        note << "stored picture did not fit " << sim::kMaxStillBytes << " bytes at quality "
             << still.requestedQuality << "; encoded at quality " << still.qualityUsed;
        if (still.frequencyLimit != sim::kAllFrequencies)
            note << " without frequencies u + v above " << still.frequencyLimit;
        PrintProblem(args.input, note.str());
    }
}

// Why a stored picture does not decode, in one line.
std::string IncompleteReason(const std::vector<std::uint8_t>& data) {
    if (data.size() > DCMP_STILL_MAX_DATA_BYTES)
        return "stored picture is " + std::to_string(data.size()) + " bytes, more than " +
               std::to_string(DCMP_STILL_MAX_DATA_BYTES);
    std::vector<std::uint8_t> frame(data.size() + 1);
    DcmpStillScan scan{};
    Dcmp_ScanStill(data.data(), data.size(), frame.data(), frame.size(), &scan);
    if (!scan.started) return "incomplete stored picture: no start marker";
    return "incomplete stored picture: " + std::to_string(scan.mbMarks) + " of " +
           std::to_string(DCMP_STILL_MB_MARKERS) + " macroblock markers and " + std::to_string(scan.blkMarks) +
           " of " + std::to_string(DCMP_STILL_BLOCK_MARKERS) + " block markers";
}

struct DecodeStillArgs {
    std::string input, output;
    bool noEnhance = false;
    std::string simd;  // empty: the fastest path the processor runs
};

void RunDecodeStill(const DecodeStillArgs& args) {
    const ImageOutput kind = ImageOutputOf(args.output);
    const int requestedPath = SimdPathOf(args.simd);
    const int32_t path = requestedPath >= 0 ? requestedPath : Dcmp_BestSimdPath();
    const std::vector<std::uint8_t> data = ReadInputFile(args.input);
    // The data source's call: size code 1, block format 2, quality 0, no mirroring, no thumbnail.
    std::vector<std::uint8_t> decoded(DCMP_STILL_PICTURE_BYTES);
    if (!Dcmp_DecodeStillOnPath(path, DCMP_STILL_SIZE_VGA, DCMP_STILL_BLOCKS_420, 0, 0, 0, decoded.data(),
                                data.size(), data.data()))
        throw CommandError(args.input, IncompleteReason(data));

    // Both results as bottom-up blue, green, red: the decode buffer as it is, or
    // the enhanced bitmap from its bottom row (479) up.
    std::vector<std::uint8_t> bottomUp = decoded;
    if (!args.noEnhance) {
        auto bitmap = std::make_unique<DcmpStillBitmap>();
        Dcmp_StillToBitmap(decoded.data(), bitmap.get());
        for (int32_t row = 0; row < DCMP_STILL_HEIGHT; row++)
            std::copy_n(bitmap->ScanLine(DCMP_STILL_HEIGHT - 1 - row), DCMP_STILL_STRIDE,
                        bottomUp.begin() + static_cast<std::ptrdiff_t>(row) * DCMP_STILL_STRIDE);
    }
    WriteDecoderOutput(args.output, kind, bottomUp,
                       [&] { return FromBottomUpBgr(bottomUp, DCMP_STILL_WIDTH, DCMP_STILL_HEIGHT); });
}

}  // namespace

void AddEncodeStillCommand(CLI::App& app) {
    auto args = std::make_shared<EncodeStillArgs>();
    CLI::App* command = app.add_subcommand(
        "encode-still",
        "Encode a photograph (PNG, JPEG, BMP or PPM) into a picture as the camera stores it. The photograph is "
        "scaled and centre-cropped to 640x480.");
    command->add_option("INPUT", args->input, "photograph, or - for standard input")->required();
    command->add_option("OUTPUT", args->output, "stored picture bytes, or - for standard output")->required();
    AddQualityOption(*command, args->quality,
                     "coarseness 0..9 on the quality-level scale (0 and 8 finest, 7 coarsest); the picture always "
                     "decodes at level 0");
    command->callback([args] { RunEncodeStill(*args); });
}

void AddDecodeStillCommand(CLI::App& app) {
    auto args = std::make_shared<DecodeStillArgs>();
    CLI::App* command = app.add_subcommand(
        "decode-still",
        "Decode a stored camera picture as the data source does, then enhance it. OUTPUT by extension: .raw "
        "(921,600 bytes, bottom-up rows of blue, green, red), .bmp or .png; - writes raw bytes to standard "
        "output. An incomplete picture is an error and writes nothing.");
    command->add_option("INPUT", args->input, "stored picture bytes, or - for standard input")->required();
    command->add_option("OUTPUT", args->output, "output file (.raw, .bmp, .png) or -")->required();
    command->add_flag("--no-enhance", args->noEnhance,
                      "write the decoded picture without the mirror copy, sharpening and colour correction");
    AddSimdOption(*command, args->simd);
    command->callback([args] { RunDecodeStill(*args); });
}

}  // namespace torvex::tools
