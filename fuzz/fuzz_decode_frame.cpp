// Decodes any bytes as a camera frame. The first seven bytes choose the
// decoder set-up; the rest is the frame, in a buffer of exactly its size.
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

#include "dcmp.h"

namespace {

// Output sizes: every size with a fixed resize, centre cuts, and sizes the
// initialisation refuses.
const int32_t kSizes[][2] = {{320, 240}, {640, 480}, {800, 592}, {352, 288}, {176, 144}, {160, 120},
                             {240, 180}, {352, 240}, {1, 1},     {30, 40},   {320, 480}, {801, 10}};
constexpr std::size_t kSetupBytes = 7;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size < kSetupBytes)
        return 0;
    DcmpContext ctx{};
    const std::size_t choice = data[0] % (std::size(kSizes) + 1);
    if (choice < std::size(kSizes)) {
        ctx.outWidth = kSizes[choice][0];
        ctx.outHeight = kSizes[choice][1];
    } else {
        ctx.outWidth = (data[1] | data[2] << 8) & 0x3FF;
        ctx.outHeight = (data[3] | data[4] << 8) & 0x3FF;
    }
    const uint8_t flags = data[5];
    ctx.flip = flags & 1;
    const bool planar = flags & 2;
    ctx.qualityLevel = data[6] % 11;
    if (!Dcmp_Initialize(&ctx))
        return 0;

    const std::vector<uint8_t> frame(data + kSetupBytes, data + size);
    ctx.srcFrame = frame.data();
    ctx.srcFrameSize = frame.size();
    ctx.rotation = static_cast<int16_t>((flags >> 2) & 7);  // includes codes that do nothing

    if (planar) {
        std::vector<uint8_t> out(static_cast<std::size_t>(ctx.decWidth) * ctx.decHeight * 3 / 2);
        ctx.dstPicture = out.data();
        Dcmp_Decmpfrm420_IYUV(&ctx);
    } else {
        const std::size_t rowBytes = static_cast<std::size_t>(ctx.outWidth) * 3;
        std::vector<uint8_t> out(rowBytes * ctx.outHeight);
        if (ctx.scaleMode >= 2) {
            ctx.dstPicture = ctx.workBuf + static_cast<std::size_t>(ctx.decHeight - 1) * ctx.rgbStride;
            ctx.dstFinal = out.data();
        } else {
            ctx.dstPicture = out.data() + out.size() - rowBytes;
        }
        Dcmp_Decmpfrm420(&ctx);
    }
    Dcmp_Release(&ctx);
    return 0;
}
