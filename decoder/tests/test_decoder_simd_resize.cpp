// The resize and rotation stages of every vector path, driven directly
// through the path's stage table on random pictures, give exactly the
// scalar stages' bytes and touch nothing outside their pictures and workBuf.
// Pictures sit between guard bytes (poisoned under AddressSanitizer, so
// that reading them stops the test too); workBuf is exactly as large as the
// context says.
#include <gtest/gtest.h>
#include <sanitizer/asan_interface.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "dcmp.h"
#include "simd/dcmp_kernels.h"
#include "simd/dcmp_simd.h"

namespace {

constexpr std::size_t kGuardBytes = 61;  // odd, so that the bytes are not aligned
constexpr uint8_t kGuardValue = 0xE7;

// `size` bytes between two guard zones.
class GuardedBytes {
public:
    explicit GuardedBytes(std::size_t size) : store_(size + 2 * kGuardBytes, kGuardValue), size_(size) { Poison(); }
    ~GuardedBytes() { Unpoison(); }
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;

    uint8_t* data() { return store_.data() + kGuardBytes; }
    std::size_t size() const { return size_; }
    std::vector<uint8_t> Bytes() const
    {
        return {store_.begin() + kGuardBytes, store_.begin() + static_cast<std::ptrdiff_t>(kGuardBytes + size_)};
    }
    void Fill(const std::vector<uint8_t>& bytes) { std::memcpy(data(), bytes.data(), size_); }
    bool GuardsIntact()
    {
        Unpoison();
        bool intact = true;
        for (std::size_t i = 0; i < kGuardBytes; i++)
            intact = intact && store_[i] == kGuardValue && store_[kGuardBytes + size_ + i] == kGuardValue;
        Poison();
        return intact;
    }

private:
    void Poison()
    {
        ASAN_POISON_MEMORY_REGION(store_.data(), kGuardBytes);
        ASAN_POISON_MEMORY_REGION(data() + size_, kGuardBytes);
    }
    void Unpoison() { ASAN_UNPOISON_MEMORY_REGION(store_.data(), store_.size()); }

    std::vector<uint8_t> store_;
    std::size_t size_;
};

std::vector<uint8_t> RandomBytes(std::mt19937& random, std::size_t size)
{
    std::vector<uint8_t> bytes(size);
    for (uint8_t& b : bytes)
        b = static_cast<uint8_t>(random() & 0xFF);
    return bytes;
}

std::string PathAndSize(int32_t path, int32_t width, int32_t height)
{
    return std::string(Dcmp_SimdPathName(path)) + " " + std::to_string(width) + "x" + std::to_string(height);
}

// ---- rotations ----

struct TurnCase {
    int32_t width, height;
    std::ptrdiff_t workBufShortBy;  // workBuf this many bytes smaller than the picture (negative: larger)
};

// Every size the decoder serves; heights that are an odd or even number of
// 8- or 16-pixel tiles, or one tile, or no multiple of either; squares; a
// portrait picture; pictures smaller than a tile; a workBuf too small for
// the quarter turns, and one larger than needed.
const TurnCase kTurnCases[] = {
    {176, 144, 0}, {160, 120, 0}, {240, 180, 0}, {352, 288, 0}, {320, 240, 0},   {640, 480, 0}, {800, 592, 0},
    {600, 400, 0}, {640, 479, 0}, {800, 591, 0}, {352, 244, 0}, {300, 17, 0},    {40, 16, 0},   {20, 8, 0},
    {41, 23, 0},   {240, 240, 0}, {241, 240, 0}, {20, 15, 0},   {9, 7, 0},       {1, 1, 0},     {200, 240, 0},
    {320, 240, 1}, {320, 240, -100},
};

// Rotates a copy of `original` with stage `which` (1: rotate1, 2: rotate2)
// of `path`; checks the guards of the picture and of workBuf.
std::vector<uint8_t> Turn(int32_t path, int which, const TurnCase& c, int16_t rotation,
                          const std::vector<uint8_t>& original)
{
    GuardedBytes picture(original.size());
    picture.Fill(original);
    GuardedBytes workBuf(static_cast<std::size_t>(static_cast<std::ptrdiff_t>(original.size()) - c.workBufShortBy));
    DcmpContext ctx{};
    ctx.simdPath = path;
    ctx.outWidth = c.width;
    ctx.outHeight = c.height;
    ctx.rotation = rotation;
    ctx.workBuf = workBuf.data();
    ctx.workBufSize = workBuf.size();
    const DcmpKernels* stages = Dcmp_PathKernels(&ctx);
    if (which == 1) {
        ctx.dstPicture = picture.data() + original.size() - static_cast<std::size_t>(c.width) * 3;
        stages->rotate1(&ctx);
    } else {
        ctx.dstFinal = picture.data();
        stages->rotate2(&ctx);
    }
    EXPECT_TRUE(picture.GuardsIntact()) << "picture, rotation " << rotation;
    EXPECT_TRUE(workBuf.GuardsIntact()) << "workBuf, rotation " << rotation;
    return picture.Bytes();
}

TEST(SimdResize, RotationsOfEveryPathMatchScalarAndStayInside)
{
    std::mt19937 random(4);
    for (const TurnCase& c : kTurnCases) {
        const std::vector<uint8_t> original = RandomBytes(random, static_cast<std::size_t>(c.width) * c.height * 3);
        for (int16_t rotation = 0; rotation <= 4; rotation++) {
            const std::vector<uint8_t> reference = Turn(DCMP_PATH_SCALAR, 2, c, rotation, original);
            for (int32_t path = DCMP_PATH_SSE2; path < DCMP_PATH_COUNT; path++) {
                if (!Dcmp_SimdPathSupported(path))
                    continue;
                for (int which : {1, 2}) {
                    SCOPED_TRACE(PathAndSize(path, c.width, c.height) + " rotate" + std::to_string(which) +
                                 " rotation " + std::to_string(rotation));
                    EXPECT_TRUE(Turn(path, which, c, rotation, original) == reference);
                }
            }
        }
    }
}

// ---- subsampling ----

struct SubsampleCase {
    int32_t decWidth, decHeight;  // coded picture
    int32_t outWidth, outHeight;
};

// The decoder's two sizes, output rows that end inside a group of columns,
// outputs larger than the coded picture yields (both walks stop at its
// edges), and coded pictures narrower than a group.
const SubsampleCase kSubsampleCases[] = {
    {320, 240, 176, 144}, {320, 240, 160, 120}, {320, 240, 100, 37}, {320, 240, 200, 250},
    {640, 480, 176, 144}, {640, 480, 330, 300}, {50, 7, 13, 3},      {24, 5, 30, 9},
};

using SubsampleStage = void (*DcmpKernels::*)(DcmpContext*);

// Runs `stage` of `path`: the coded picture in a buffer of exactly its size,
// the output (as many bytes as outWidth x outHeight pixels) between guards.
std::vector<uint8_t> Subsample(int32_t path, SubsampleStage stage, const SubsampleCase& c,
                               const std::vector<uint8_t>& coded)
{
    GuardedBytes source(coded.size());
    source.Fill(coded);
    GuardedBytes out(static_cast<std::size_t>(c.outWidth) * c.outHeight * 3);
    std::memset(out.data(), 0x3C, out.size());  // bytes the walk does not reach keep this
    DcmpContext ctx{};
    ctx.simdPath = path;
    ctx.decWidth = c.decWidth;
    ctx.decHeight = c.decHeight;
    ctx.rgbStride = c.decWidth * 3;
    ctx.outWidth = c.outWidth;
    ctx.outHeight = c.outHeight;
    ctx.dstPicture = source.data() + coded.size() - static_cast<std::size_t>(ctx.rgbStride);
    ctx.dstFinal = out.data();
    (Dcmp_PathKernels(&ctx)->*stage)(&ctx);
    EXPECT_TRUE(out.GuardsIntact());
    EXPECT_TRUE(source.GuardsIntact());
    return out.Bytes();
}

TEST(SimdResize, SubsamplingOfEveryPathMatchesScalarAndStaysInside)
{
    std::mt19937 random(5);
    for (const SubsampleCase& c : kSubsampleCases) {
        const std::vector<uint8_t> coded = RandomBytes(random, static_cast<std::size_t>(c.decWidth) * c.decHeight * 3);
        for (SubsampleStage stage : {&DcmpKernels::subsampleQc, &DcmpKernels::subsampleQqv}) {
            const std::vector<uint8_t> reference = Subsample(DCMP_PATH_SCALAR, stage, c, coded);
            for (int32_t path = DCMP_PATH_SSE2; path < DCMP_PATH_COUNT; path++) {
                if (!Dcmp_SimdPathSupported(path))
                    continue;
                SCOPED_TRACE(PathAndSize(path, c.outWidth, c.outHeight) + " from " + std::to_string(c.decWidth) +
                             "x" + std::to_string(c.decHeight) +
                             (stage == &DcmpKernels::subsampleQc ? " QV2QC" : " QV2QQV"));
                EXPECT_TRUE(Subsample(path, stage, c, coded) == reference);
            }
        }
    }
}

}  // namespace
