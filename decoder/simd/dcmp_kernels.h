// The stages of a frame decode that have a vector version, as one table of
// functions per path. The scalar table holds the reference functions.
#pragma once

#include <cstdint>

#include "dcmp.h"

struct DcmpKernels {
    void (*decodePlanes)(DcmpContext* ctx);   // block loop: every block of the frame into the planes
    void (*yuvToRgb24)(DcmpContext* ctx);     // WMMX_YUV12ToRGB24
    void (*yuvToRgb24Cif)(DcmpContext* ctx);  // WMMX_YUV12ToRGB24_CIF
    void (*fillCifGaps)(DcmpContext* ctx);    // Dcmp_QV2C_Flip
    void (*subsampleQc)(DcmpContext* ctx);    // Dcmp_QV2QC
    void (*subsampleQqv)(DcmpContext* ctx);   // Dcmp_QV2QQV
    void (*rotate1)(DcmpContext* ctx);        // Dcmp_Rotate1
    void (*rotate2)(DcmpContext* ctx);        // Dcmp_Rotate2
    void (*mapIyuv)(DcmpContext* ctx);        // Dcmp_MapIYUV
};

// The table of the context's path (scalar for an unknown value).
const DcmpKernels* Dcmp_PathKernels(const DcmpContext* ctx);

// The scalar block loop (dcmp_frame.cpp).
void Dcmp_DecodePlanes(DcmpContext* ctx);

// Writes converted row `row` (320 pixels) of the 320 x 240 picture into the
// 352 x 288 frame whose top row starts at dstPicture, leaving the gap column
// of every 11 as it was (dcmp_colour.cpp).
void Dcmp_SpreadCifRow(const uint8_t* converted, int32_t row, uint8_t* dstPicture);

// The first step of Dcmp_QV2C_Flip: each gap column of the 352 x 288 frame
// from its neighbours left and right, on every row but the gap rows
// (dcmp_resize.cpp).
void Dcmp_FillCifGapColumns(DcmpContext* ctx);

// Dcmp_IDCT8x8aan of two blocks at once, sharing the first pass's work
// (dcmp_block.cpp).
void Dcmp_IDCT8x8aanPair(int16_t* first, int16_t* second);

#if defined(__x86_64__)
extern const DcmpKernels DcmpKernelsSse2;
extern const DcmpKernels DcmpKernelsAvx2;
extern const DcmpKernels DcmpKernelsAvx512;
#endif

// One step of the run-length decoder without branches on the code kind:
// entry (kind << 8 | c) for a code of that kind whose first byte is c.
// The values are written at coefficient k | skip1 and (k + 1) | skip2, where
// a skip of 64 sends a value nobody reads to a scratch place; then
// k := (k AND keepK) + addK. A large value (kind 3) adds bits 6..0 of the
// code's second byte to value1.
struct DcmpRldStep {
    int16_t value1;
    int16_t value2;
    uint8_t skip1;
    uint8_t skip2;
    uint8_t keepK;
    uint8_t addK;
};
struct DcmpRldTable {
    DcmpRldStep steps[4 * 256];
};
extern const DcmpRldTable DcmpRldSteps;
