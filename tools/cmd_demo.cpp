// demo: sample photographs through the camera's frame format and back, with
// a table of how close each decoded picture is to its original.
#include <algorithm>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "sim/encoder/encoder.h"
#include "tools/commands.h"
#include "tools/frame_tools.h"
#include "tools/imageio.h"

namespace torvex::tools {
namespace {

namespace fs = std::filesystem;

struct DemoArgs {
    std::string photos = "../shared/testdata/photos";
    std::string out = "out";
};

// Levels from finest to coarsest; pictures and frames are written for the
// finest, the default and the coarsest, the table has them all.
constexpr int kLevels[] = {8, 0, 1, 2, 3, 4, 5, 6, 7};
constexpr int kSavedLevels[] = {8, 2, 7};
constexpr std::pair<int, int> kSizes[] = {{320, 240}, {640, 480}, {800, 592}};

std::string Decibels(double value) {
    if (std::isinf(value)) return "inf";
    std::ostringstream text;
    text << std::fixed << std::setprecision(2) << value;
    return text.str();
}

std::vector<fs::path> Photographs(const fs::path& folder) {
    std::error_code error;
    std::vector<fs::path> photos;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        std::string ext = entry.path().extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
        if (entry.is_regular_file() && (ext == ".png" || ext == ".jpg" || ext == ".jpeg" || ext == ".bmp" ||
                                        ext == ".ppm"))
            photos.push_back(entry.path());
    }
    if (error) throw CommandError(folder.string(), error.message());
    if (photos.empty()) throw CommandError(folder.string(), "no photographs (.png, .jpg, .bmp, .ppm) found");
    std::sort(photos.begin(), photos.end());
    return photos;
}

void RunDemo(const DemoArgs& args) {
    const std::vector<fs::path> photos = Photographs(args.photos);
    std::error_code error;
    fs::create_directories(args.out, error);
    if (error) throw CommandError(args.out, error.message());
    const auto outPath = [&args](const std::string& name) { return (fs::path(args.out) / name).string(); };

    std::ostringstream table;
    table << "| photograph | coded size | level | level used | frame bytes | luma PSNR dB | RGB PSNR dB |\n"
          << "|---|---|---|---|---|---|---|\n";
    for (const fs::path& photo : photos) {
        const RgbPicture original = ReadPhotograph(photo.string());
        const std::string name = photo.stem().string();
        for (const auto& [width, height] : kSizes) {
            const std::string size = std::to_string(width) + "x" + std::to_string(height);
            const RgbPicture reference = sim::FitToSize(original, width, height);
            WriteImageFile(outPath(name + "_" + size + "_original.png"), ImageOutput::Png, reference);
            for (int level : kLevels) {
                const sim::EncodedFrame frame = sim::EncodeFrame(reference, level);
                FrameDecodeOptions options;
                options.outWidth = width;
                options.outHeight = height;
                options.qualityLevel = frame.levelUsed;
                const DecodedFrame decoded = DecodeFrame(frame.bytes, options);
                const RgbPicture picture = FromBottomUpBgr(decoded.bytes, width, height);
                const std::string stem = name + "_" + size + "_q" + std::to_string(level);
                if (std::find(std::begin(kSavedLevels), std::end(kSavedLevels), level) != std::end(kSavedLevels)) {
                    WriteOutputFile(outPath(stem + ".frame"), frame.bytes);
                    WriteImageFile(outPath(stem + ".png"), ImageOutput::Png, picture);
                }
                table << "| " << name << " | " << size << " | " << level << " | " << frame.levelUsed;
                if (frame.stepSixteenths != 0) table << " (step " << frame.stepSixteenths << "/16)";
                if (frame.frequencyLimit != sim::kAllFrequencies) table << " (u+v <= " << frame.frequencyLimit << ")";
                table << " | "
                      << frame.bytes.size() << " | " << Decibels(LumaPsnr(reference, picture)) << " | "
                      << Decibels(RgbPsnr(reference, picture)) << " |\n";
            }
        }
    }
    const std::string text = table.str();
    WriteOutputFile(outPath("psnr.md"), std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    std::cout << text << "\nPictures, frames and this table (psnr.md) are in " << args.out << "/\n";
}

}  // namespace

void AddDemoCommand(CLI::App& app) {
    auto args = std::make_shared<DemoArgs>();
    CLI::App* command = app.add_subcommand(
        "demo",
        "Encode every photograph of a folder into camera frames at each coded size and quality level, "
        "decode them back, and write the pictures (PNG), the frames and a PSNR table (psnr.md).");
    command->add_option("--photos", args->photos, "folder of photographs")->capture_default_str();
    command->add_option("--out", args->out, "output folder")->capture_default_str();
    command->callback([args] { RunDemo(*args); });
}

}  // namespace torvex::tools
