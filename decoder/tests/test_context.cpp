// Context set-up: size choice, refusals, buffers, quantiser scaling and the
// block and sign tables.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "decoder_fixture.h"

namespace {

struct SizeCase {
    int32_t outWidth, outHeight;
    int32_t scaleMode, decWidth, decHeight;
    std::size_t workBufSize;
};

class InitialiseSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(InitialiseSize, ChoosesModeCodedSizeAndBuffers)
{
    const SizeCase& c = GetParam();
    Decoder d(c.outWidth, c.outHeight);
    ASSERT_EQ(d.ready, 1);
    EXPECT_EQ(d.ctx.scaleMode, c.scaleMode);
    EXPECT_EQ(d.ctx.decWidth, c.decWidth);
    EXPECT_EQ(d.ctx.decHeight, c.decHeight);
    EXPECT_EQ(d.ctx.workBufSize, c.workBufSize);
    EXPECT_EQ(d.ctx.mbCols, c.decWidth / 16);
    EXPECT_EQ(d.ctx.mbRows, c.decHeight / 16);
    EXPECT_EQ(d.ctx.mbCount, (c.decWidth / 16) * (c.decHeight / 16));
    EXPECT_EQ(d.ctx.blocksPerMb, 6);
    EXPECT_EQ(d.ctx.rgbStride, c.decWidth * 3);
}

INSTANTIATE_TEST_SUITE_P(Sizes, InitialiseSize,
                         ::testing::Values(SizeCase{352, 288, 1, 320, 240, 304128},
                                           SizeCase{176, 144, 2, 320, 240, 230400},
                                           SizeCase{160, 120, 3, 320, 240, 230400},
                                           SizeCase{640, 480, 0, 640, 480, 921600},
                                           SizeCase{320, 240, 0, 320, 240, 230400},
                                           SizeCase{800, 592, 0, 800, 592, 1420800},
                                           // Everything else is a centre cut of the narrowest coded size.
                                           SizeCase{176, 120, 4, 320, 240, 1420800},
                                           SizeCase{352, 240, 4, 640, 480, 1420800},
                                           SizeCase{640, 400, 4, 640, 480, 1420800},
                                           SizeCase{641, 100, 4, 800, 592, 1420800},
                                           SizeCase{1, 1, 4, 320, 240, 1420800}));

// Counts the hook's live allocations; can be told to fail the n-th request.
struct CountingAllocator {
    std::set<void*> live;
    int calls = 0;
    int failAt = -1;

    static void* Allocate(std::size_t size, void* cookie)
    {
        auto* self = static_cast<CountingAllocator*>(cookie);
        if (self->calls++ == self->failAt)
            return nullptr;
        void* p = std::malloc(size);
        self->live.insert(p);
        return p;
    }
    static void Release(void* ptr, void* cookie)
    {
        auto* self = static_cast<CountingAllocator*>(cookie);
        EXPECT_EQ(self->live.erase(ptr), 1u) << "released a buffer the hook did not give";
        std::free(ptr);
    }
    void Attach(DcmpContext* ctx)
    {
        ctx->allocate = &Allocate;
        ctx->release = &Release;
        ctx->allocCookie = this;
    }
};

TEST(Initialise, RefusesSizesTheCutCannotProduceWithoutAllocating)
{
    const int32_t sizes[][2] = {{320, 480}, {640, 481}, {801, 600}, {352, 600}, {0, 240}, {320, 0}, {-16, 120}};
    for (const auto& size : sizes) {
        CountingAllocator alloc;
        DcmpContext ctx{};
        alloc.Attach(&ctx);
        ctx.outWidth = size[0];
        ctx.outHeight = size[1];
        EXPECT_EQ(Dcmp_Initialize(&ctx), 0) << size[0] << " x " << size[1];
        EXPECT_EQ(alloc.calls, 0);
    }
}

TEST(Initialise, AllocatesThroughTheHookAndReleasesEverything)
{
    CountingAllocator alloc;
    DcmpContext ctx{};
    alloc.Attach(&ctx);
    ctx.outWidth = 640;
    ctx.outHeight = 480;
    ASSERT_EQ(Dcmp_Initialize(&ctx), 1);
    EXPECT_EQ(alloc.live.size(), 8u);  // workBuf, three planes, three block maps, block base table
    Dcmp_Release(&ctx);
    EXPECT_TRUE(alloc.live.empty());
    Dcmp_Release(&ctx);  // a second release finds nothing to free
}

TEST(Initialise, AnyFailedAllocationLeavesNothingAllocated)
{
    for (int failAt = 0; failAt < 8; failAt++) {
        CountingAllocator alloc;
        alloc.failAt = failAt;
        DcmpContext ctx{};
        alloc.Attach(&ctx);
        ctx.outWidth = 320;
        ctx.outHeight = 240;
        EXPECT_EQ(Dcmp_Initialize(&ctx), 0) << "allocation " << failAt;
        EXPECT_TRUE(alloc.live.empty()) << "allocation " << failAt;
        Dcmp_Release(&ctx);  // safe on a refused record
    }
}

struct QuantCase {
    int32_t level;
    int16_t entry;
    int16_t factor;
};

TEST(QuantFactor, ScalesByLevelThenTimesSixteen)
{
    const QuantCase cases[] = {
        {0, 17, 128},  {1, 75, 880},   {2, 75, 1184}, {2, 16, 256},  {3, 99, 1952}, {4, 99, 2368},
        {5, 99, 2752}, {6, 99, 3152},  {7, 99, 3536}, {8, 99, 16},   {9, 99, 1584}, {-1, 16, 256},
    };
    for (const QuantCase& c : cases)
        EXPECT_EQ(Dcmp_QuantFactor(c.entry, c.level), c.factor) << "level " << c.level << " entry " << c.entry;
}

TEST(QuantFactor, ContextTablesHoldTheScaledFactors)
{
    Decoder d(320, 240, 8);
    ASSERT_EQ(d.ready, 1);
    for (int i = 0; i < 64; i++) {
        EXPECT_EQ(d.ctx.quantY[i], 16);
        EXPECT_EQ(d.ctx.quantC[i], 16);
    }
    Decoder level7(320, 240, 7);
    for (int i = 0; i < 64; i++) {
        EXPECT_EQ(level7.ctx.quantY[i], Dcmp_QuantFactor(Qt55[i], 7));
        EXPECT_EQ(level7.ctx.quantC[i], Dcmp_QuantFactor(Q6[i], 7));
    }
    for (int b = 0; b < 6; b++) {
        EXPECT_EQ(level7.ctx.blockQuant[b], b < 4 ? level7.ctx.quantY : level7.ctx.quantC);
        const DcmpPlaneRec* rec = level7.ctx.blockPlane[b];
        EXPECT_EQ(rec->plane, b < 4 ? level7.ctx.planeY : b == 4 ? level7.ctx.planeU : level7.ctx.planeV);
        EXPECT_EQ(rec->blkMap, b < 4 ? level7.ctx.blkMapY : b == 4 ? level7.ctx.blkMapU : level7.ctx.blkMapV);
    }
}

struct BaseCase {
    int32_t width, height, flip;
    int32_t macroblock;  // coding order
    int32_t origins[6];
};

TEST(BlockTables, BlockOriginsFollowCodingOrderAndMirror)
{
    // At 320 x 240 a row holds 20 macroblocks; mirrored, the first one coded
    // lies at the right and its luma columns swap.
    const BaseCase cases[] = {
        {320, 240, 0, 0, {0, 2560, 8, 2568, 0, 0}},
        {320, 240, 0, 21, {5136, 7696, 5144, 7704, 1288, 1288}},
        {320, 240, 1, 0, {312, 2872, 304, 2864, 152, 152}},
        {320, 240, 1, 20, {5432, 7992, 5424, 7984, 1432, 1432}},
        {800, 592, 0, 1849, {461584, 467984, 461592, 467992, 115592, 115592}},
        {800, 592, 1, 1849, {460808, 467208, 460800, 467200, 115200, 115200}},
    };
    for (const BaseCase& c : cases) {
        Decoder d(c.width, c.height, 2, c.flip);
        ASSERT_EQ(d.ready, 1);
        for (int b = 0; b < 6; b++)
            EXPECT_EQ(d.ctx.blkBase[c.macroblock * 6 + b], c.origins[b])
                << c.width << " flip " << c.flip << " macroblock " << c.macroblock << " block " << b;
    }
}

TEST(BlockTables, BlockMapsGiveRowOffsetsMirroredWithFlip)
{
    for (int32_t flip : {0, 1}) {
        Decoder d(320, 240, 2, flip);
        ASSERT_EQ(d.ready, 1);
        for (int k = 0; k < 8; k++) {
            for (int l = 0; l < 8; l++) {
                const int column = flip ? 7 - l : l;
                EXPECT_EQ(d.ctx.blkMapY[8 * k + l], k * 320 + column);
                EXPECT_EQ(d.ctx.blkMapU[8 * k + l], k * 160 + column);
                EXPECT_EQ(d.ctx.blkMapV[8 * k + l], k * 160 + column);
            }
        }
    }
    Decoder mirrored(320, 240, 2, 1);
    EXPECT_EQ(mirrored.ctx.blkMapY[8], 327);
}

TEST(SignTables, ReadBitFieldsAsTwosComplement)
{
    Decoder d(320, 240);
    ASSERT_EQ(d.ready, 1);
    const DcmpContext& c = d.ctx;
    EXPECT_EQ(c.signLo[0x44], -4);
    EXPECT_EQ(c.signLo[0x03], 3);
    EXPECT_EQ(c.signHi[0x44], 0);
    EXPECT_EQ(c.signHi[0x38], -1);
    EXPECT_EQ(c.signHi[0x18], 3);
    EXPECT_EQ(c.sign6[0x20], -32);
    EXPECT_EQ(c.sign6[0xDF], 31);
    EXPECT_EQ(c.sign6[0x3F], -1);
    for (int i = 0; i < 256; i++) {  // bits 7..6 never count
        EXPECT_EQ(c.signLo[i], c.signLo[i & 0x3F]);
        EXPECT_EQ(c.signHi[i], c.signHi[i & 0x3F]);
        EXPECT_EQ(c.sign6[i], c.sign6[i & 0x3F]);
    }
}

}  // namespace
