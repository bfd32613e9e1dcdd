// What the decoder benchmarks share: the sample photograph fitted to a size,
// and a decode loop over one context prepared outside the timed part, as the
// driver keeps one per stream.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "decoder/dcmp.h"
#include "decoder/simd/dcmp_simd.h"
#include "sim/encoder/encoder.h"
#include "tools/frame_tools.h"
#include "tools/imageio.h"

namespace torvex::bench {

inline const sim::RgbPicture& Photo(const std::string& name, int width, int height) {
    static std::map<std::pair<std::string, int>, sim::RgbPicture> fitted;
    auto it = fitted.find({name, width});
    if (it == fitted.end()) {
        const sim::RgbPicture original =
            tools::DecodeImage(tools::ReadAll(std::string(TORVEX_PHOTOS_DIR) + "/" + name));
        it = fitted.emplace(std::pair{name, width}, sim::FitToSize(original, width, height)).first;
    }
    return it->second;
}

// Decodes `frame` to width x height (RGB24 bottom-up, or IYUV) in every
// iteration; simdPath < 0 keeps the path the initialisation chose.
inline void DecodeLoop(benchmark::State& state, const sim::EncodedFrame& frame, int width, int height, bool iyuv,
                       int32_t simdPath = -1) {
    std::vector<std::uint8_t> frameBuffer(DCMP_FRAME_BUFFER_BYTES, 0);
    std::copy(frame.bytes.begin(), frame.bytes.end(), frameBuffer.begin());
    DcmpContext ctx{};
    ctx.outWidth = width;
    ctx.outHeight = height;
    ctx.qualityLevel = frame.levelUsed;
    if (Dcmp_Initialize(&ctx) != 1) {
        state.SkipWithError("decoder refused the size");
        return;
    }
    if (simdPath >= 0 && Dcmp_SetSimdPath(&ctx, simdPath) != 1) {
        Dcmp_Release(&ctx);
        state.SkipWithError("path not supported by this processor");
        return;
    }
    std::vector<std::uint8_t> out(static_cast<std::size_t>(width) * height * 3);
    ctx.srcFrame = frameBuffer.data();
    ctx.srcFrameSize = frameBuffer.size();
    ctx.rotation = 0;
    for (auto _ : state) {
        if (iyuv) {
            ctx.dstPicture = out.data();
            Dcmp_Decmpfrm420_IYUV(&ctx);
        } else {
            ctx.dstPicture = out.data() + static_cast<std::size_t>(height - 1) * width * 3;
            Dcmp_Decmpfrm420(&ctx);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    Dcmp_Release(&ctx);
    state.counters["frame_bytes"] = static_cast<double>(frame.bytes.size());
}

}  // namespace torvex::bench
