// Decoder of the camera's compressed 4:2:0 frame format.
//
// One DcmpContext per consumer: set outWidth, outHeight, qualityLevel, flip
// (and optionally the allocation hook), call Dcmp_Initialize, then for every
// frame set srcFrame, srcFrameSize, rotation, dstPicture (and dstFinal for
// scale modes 2..4) and call Dcmp_Decmpfrm420 or Dcmp_Decmpfrm420_IYUV.
// Dcmp_Release frees the owned buffers. Start from a zeroed record
// (DcmpContext ctx{}) so that releasing it is safe whatever happened.
//
// The decoder keeps no state outside its context, takes no locks, throws
// nothing and allocates only in Dcmp_Initialize.
#pragma once

#include <cstddef>
#include <cstdint>

// Frame limits of the video path.
constexpr std::size_t DCMP_MAX_FRAME_BYTES = 142232;     // longest frame the camera sends
constexpr std::size_t DCMP_FRAME_BUFFER_BYTES = 152400;  // buffer that holds one frame
constexpr std::size_t DCMP_FRAME_HEADER_BYTES = 6;       // frame header, not interpreted
constexpr std::size_t DCMP_MB_HEADER_BYTES = 3;          // macroblock header, not interpreted
// Most bytes Dcmp_RLD reads from a block's first byte (header, codes up to
// position 127 with a two-byte code there, and the byte after it).
constexpr std::size_t DCMP_MAX_BLOCK_READ = 130;

// A plane together with its block map.
struct DcmpPlaneRec {
    uint8_t* plane;
    int16_t* blkMap;
};

// One signed contribution per output channel of a colour lookup entry.
struct DcmpRgbTerm {
    int16_t blue;
    int16_t green;
    int16_t red;
};

typedef void* (*DcmpAllocateFn)(std::size_t size, void* cookie);
typedef void (*DcmpReleaseFn)(void* ptr, void* cookie);

struct DcmpContext {
    int16_t quantY[64];             // scaled luma dequantisation factors
    int16_t quantC[64];             // scaled chroma dequantisation factors
    int16_t* blockQuant[12];        // factors of block b of a macroblock (0..5 used)
    int16_t mbCount;                // macroblocks in a frame
    int16_t blocksPerMb;            // always 6
    const uint8_t* srcFrame;        // compressed frame, set before each decode
    int32_t mbCols;
    int32_t mbRows;
    int32_t decWidth;               // coded picture size
    int32_t decHeight;
    int32_t outWidth;               // requested output size
    int32_t outHeight;
    uint8_t* planeY;                // owned; decWidth x decHeight
    int16_t* blkMapY;               // owned; 64 entries
    uint8_t* planeU;                // owned; decWidth x decHeight allocated, a quarter used
    int16_t* blkMapU;               // owned
    uint8_t* planeV;                // owned
    int16_t* blkMapV;               // owned
    DcmpPlaneRec* blockPlane[12];   // plane record of block b of a macroblock (0..5 used)
    int32_t* blkBase;               // owned; mbCount x 6 block origins in coding order
    int16_t signLo[256];            // bits 2..0 as signed 3-bit
    int16_t signHi[256];            // bits 5..3 as signed 3-bit
    int16_t sign6[256];             // bits 5..0 as signed 6-bit
    int32_t rgbStride;              // decWidth x 3
    uint8_t* dstPicture;            // set before each decode
    int32_t qualityLevel;
    int32_t scaleMode;              // 0..4
    uint8_t* workBuf;               // owned; scratch for resizing and rotation
    uint8_t* dstFinal;              // set before each decode in scale modes 2..4
    int32_t flip;                   // nonzero: mirrored left-right
    int16_t rotation;               // 0 none, 1 quarter counter-clockwise, 2 half, 3 quarter clockwise

    // --- Fields beyond the camera's original record ---
    // Bytes readable at srcFrame (the whole frame buffer); set with srcFrame.
    // Nothing past srcFrame + srcFrameSize is read; missing bytes read as 0.
    std::size_t srcFrameSize;
    // Allocation hook, set before Dcmp_Initialize; null means malloc/free.
    DcmpAllocateFn allocate;
    DcmpReleaseFn release;
    void* allocCookie;
    // The plane records that blockPlane points at: Y, U, V.
    DcmpPlaneRec planeRec[3];
    // Output size and mirror setting the tables and workBuf were built for.
    // Decoding follows these, so changing outWidth/outHeight/flip without a
    // new initialisation can never make it write outside its buffers.
    int32_t initOutWidth;
    int32_t initOutHeight;
    int32_t initFlip;
    std::size_t workBufSize;
    // Vector path of the decode stages (simd/dcmp_simd.h): the fastest one
    // the processor runs, chosen by Dcmp_Initialize.
    int32_t simdPath;
};

// Constant tables.
extern const int16_t Qt55[64];        // luma quantisation table, coefficient order 8u + v
extern const int16_t Q6[64];          // chroma quantisation table
extern const int16_t preSC[64];       // inverse transform prescale factors
extern const uint8_t Tb_YUV[512];     // sample + 256 -> limited to 16..240
extern const DcmpRgbTerm Y0[256];     // luma contributions
extern const DcmpRgbTerm u0[256];     // Cb contributions
extern const DcmpRgbTerm v0[256];     // Cr contributions
// Range of every sum of a luma and the chroma contributions of one colour,
// which the colour conversion limits by a table lookup.
constexpr int DCMP_COLOUR_SUM_MIN = -1024;
constexpr int DCMP_COLOUR_SUM_MAX = 1279;

// Dequantisation factor for table entry q at the given quality level
// (quality-scaled, then times 16), exactly as Dcmp_Initialize stores it.
int16_t Dcmp_QuantFactor(int16_t q, int32_t qualityLevel);

// Context and tables.
int32_t Dcmp_Initialize(DcmpContext* ctx);   // 1 ready, 0 refused or out of memory
void Dcmp_Release(DcmpContext* ctx);         // frees the owned buffers; safe to call twice
void Dcmp_CreateBlkBaseTbl420(DcmpContext* ctx);
void Dcmp_CreateSignBitExtTbl(DcmpContext* ctx);
void Dcmp_CreateBlkMapTbl(DcmpContext* ctx);

// Block decoding.
// Reads the codes of one block (at most DCMP_MAX_BLOCK_READ bytes) into coef,
// which the caller has cleared; returns the offset of the terminating byte.
uint8_t Dcmp_RLD(int16_t* coef, const uint8_t* code, const DcmpContext* ctx);
void Dcmp_DeQuant(int16_t* out, const int16_t* coef, const int16_t* quant);
void Dcmp_IDCT8x8aan(int16_t* block);

// Frame reconstruction.
int32_t Dcmp_Decmpfrm420(DcmpContext* ctx);
void Dcmp_Decmpfrm420_IYUV(DcmpContext* ctx);
void Dcmp_MapB2P(const DcmpPlaneRec* dst, const int16_t* samples, int32_t n, const int32_t* blkBase);
void Dcmp_MapB2P_Flip(const DcmpPlaneRec* dst, const int16_t* samples, int32_t n, const int32_t* blkBase);
void Dcmp_MapPreP2P(const DcmpPlaneRec* dst, const DcmpPlaneRec* src, int32_t n, const int32_t* blkBase);
void Dcmp_MapPreP2P_Flip(const DcmpPlaneRec* dst, const DcmpPlaneRec* src, int32_t n, const int32_t* blkBase);
void Dcmp_MapIYUV(DcmpContext* ctx);

// Colour conversion.
void WMMX_YUV12ToRGB24(DcmpContext* ctx);
void WMMX_YUV12ToRGB24_CIF(DcmpContext* ctx);

// Resizing and rotation.
void Dcmp_QV2C_Flip(DcmpContext* ctx);
void Dcmp_QV2QC(DcmpContext* ctx);
void Dcmp_QV2QQV(DcmpContext* ctx);
void Dcmp_CutScaling(DcmpContext* ctx);
void Dcmp_Rotate1(DcmpContext* ctx);
void Dcmp_Rotate2(DcmpContext* ctx);
