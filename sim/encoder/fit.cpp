#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "sim/encoder/encoder.h"

namespace torvex::sim {
namespace {

// Weights of one output sample along one axis: a triangle filter that widens
// with the reduction factor, so that shrinking averages instead of skipping.
struct Taps {
    int first = 0;
    std::vector<float> weights;
};

std::vector<Taps> AxisTaps(int sourceSize, int outSize, double scale, double offset) {
    const double radius = std::max(1.0, 1.0 / scale);  // in source samples
    std::vector<Taps> taps(outSize);
    for (int o = 0; o < outSize; ++o) {
        const double centre = (o + 0.5 + offset) / scale - 0.5;  // in source samples
        const int lo = std::max(0, static_cast<int>(std::ceil(centre - radius)));
        const int hi = std::min(sourceSize - 1, static_cast<int>(std::floor(centre + radius)));
        Taps& t = taps[o];
        double total = 0;
        for (int i = lo; i <= hi; ++i) {
            const double w = std::max(0.0, 1.0 - std::abs(i - centre) / radius);
            t.weights.push_back(static_cast<float>(w));
            total += w;
        }
        if (total <= 0) {  // only possible at the very edge: take the nearest sample
            t.first = std::clamp(static_cast<int>(std::lround(centre)), 0, sourceSize - 1);
            t.weights.assign(1, 1.0f);
            continue;
        }
        t.first = lo;
        for (float& w : t.weights) w = static_cast<float>(w / total);
    }
    return taps;
}

}  // namespace

RgbPicture FitToSize(const RgbPicture& picture, int width, int height) {
    if (picture.width < 1 || picture.height < 1 ||
        picture.rgb.size() != static_cast<std::size_t>(picture.width) * picture.height * 3)
        throw std::invalid_argument("empty or inconsistent picture");
    if (width < 1 || height < 1) throw std::invalid_argument("target size below 1x1");

    // Scale to cover the target, then cut its middle.
    const double scale = std::max(static_cast<double>(width) / picture.width,
                                  static_cast<double>(height) / picture.height);
    const auto xTaps = AxisTaps(picture.width, width, scale, (picture.width * scale - width) / 2);
    const auto yTaps = AxisTaps(picture.height, height, scale, (picture.height * scale - height) / 2);

    // Horizontal pass into floats, then vertical pass into the result.
    std::vector<float> rows(static_cast<std::size_t>(picture.height) * width * 3);
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c) {
                float sum = 0;
                const Taps& t = xTaps[x];
                for (std::size_t k = 0; k < t.weights.size(); ++k)
                    sum += t.weights[k] * picture.Pixel(t.first + static_cast<int>(k), y)[c];
                rows[(static_cast<std::size_t>(y) * width + x) * 3 + c] = sum;
            }
    RgbPicture out(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c) {
                float sum = 0;
                const Taps& t = yTaps[y];
                for (std::size_t k = 0; k < t.weights.size(); ++k)
                    sum += t.weights[k] * rows[((t.first + k) * width + x) * 3 + c];
                out.Pixel(x, y)[c] = static_cast<std::uint8_t>(std::clamp(std::lround(sum), 0L, 255L));
            }
    return out;
}

}  // namespace torvex::sim
