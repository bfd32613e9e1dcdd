// Pictures stored in the camera's memory: unpacking the stored byte layout
// into a frame, the completeness check, and decoding into a 640 x 480
// bottom-up 24-bit picture (blue, green, red).
//
// Stored layout: runs of zero bytes separate the coded data, and the byte
// after each zero run (the marker) says what the run stands for:
//   0x01..0x3F  start marker: the first starts the frame, a second ends the picture
//   0x40..0x7F  macroblock marker (except 0x60): 0x00 and the marker go into the frame
//   0x60        zero marker: one 0x00 when the byte 8 places before it is zero
//   0x80..0xFF  block marker: 0x00 and the marker go into the frame
// A picture is complete when at least one macroblock marker per macroblock
// and one block marker per block were seen.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dcmp.h"

// The only stored-picture geometry: size code 1 with block format 2.
constexpr int16_t DCMP_STILL_SIZE_VGA = 1;       // 640 x 480 coded and output size
constexpr int16_t DCMP_STILL_BLOCKS_420 = 2;     // six blocks a macroblock: four luma, U, V
constexpr int32_t DCMP_STILL_WIDTH = 640;
constexpr int32_t DCMP_STILL_HEIGHT = 480;
constexpr int32_t DCMP_STILL_STRIDE = DCMP_STILL_WIDTH * 3;
constexpr std::size_t DCMP_STILL_PICTURE_BYTES = 921600;   // 640 x 480 x 3
constexpr int32_t DCMP_STILL_MB_MARKERS = 1200;            // one per macroblock
constexpr int32_t DCMP_STILL_BLOCK_MARKERS = 7200;         // one per block
// Longest stored picture accepted: its frame (never longer than the data plus
// its closing byte) must fit the 921,600-byte frame buffer.
constexpr std::size_t DCMP_STILL_MAX_DATA_BYTES = DCMP_STILL_PICTURE_BYTES - 1;

// Marker byte values.
constexpr uint8_t DCMP_STILL_ZERO_MARKER = 0x60;
constexpr uint8_t DCMP_STILL_FIRST_MB_MARKER = 0x40;
constexpr uint8_t DCMP_STILL_FIRST_BLOCK_MARKER = 0x80;
constexpr int DCMP_STILL_ZERO_LOOKBACK = 8;

// A 640 x 480 24-bit picture reached row by row: row 0 is the top row, each
// row 1,920 bytes of blue, green, red. The data source's bitmap implements
// it; DcmpStillBitmap below is a plain one in memory.
class DcmpBitmap {
public:
    virtual uint8_t* ScanLine(int32_t row) = 0;

protected:
    ~DcmpBitmap() = default;
};

class DcmpStillBitmap final : public DcmpBitmap {
public:
    uint8_t* ScanLine(int32_t row) override { return pixels + static_cast<std::size_t>(row) * DCMP_STILL_STRIDE; }
    uint8_t pixels[DCMP_STILL_PICTURE_BYTES];  // top row first
};

// What one unpacking pass found: the frame length and the markers counted.
struct DcmpStillScan {
    std::size_t frameLength;  // bytes written to the frame, closing zero byte included
    int32_t mbMarks;
    int32_t blkMarks;
    int32_t started;          // nonzero: a start marker was found
};

// Decodes one stored picture into `out` (921,600 bytes, bottom-up rows, the
// first 1,920 bytes the bottom row). Returns 1 when decoded, 0 when the picture
// is incomplete, has no start marker, is longer than DCMP_STILL_MAX_DATA_BYTES,
// or the arguments are not the stored-picture geometry (size code 1, block
// format 2, thumbnail 0); `out` is then left as it was. The context and every
// buffer are made and released inside the call. When memory runs out the
// call throws std::bad_alloc, after releasing what it had.
int16_t Dcmp_DecodeStill(int16_t sizeCode, int16_t blockFormat, int32_t qualityLevel, int32_t flip,
                         int16_t thumbnail, uint8_t* out, std::size_t length, const uint8_t* data);

// Dcmp_DecodeStill on a chosen vector path of the frame decoder (dcmp_simd.h;
// every path gives the same bytes). A path this processor does not run is
// refused with 0 and `out` is left as it was. Dcmp_DecodeStill takes the
// fastest path.
int16_t Dcmp_DecodeStillOnPath(int32_t simdPath, int16_t sizeCode, int16_t blockFormat, int32_t qualityLevel,
                               int32_t flip, int16_t thumbnail, uint8_t* out, std::size_t length,
                               const uint8_t* data);

// Unpacks `data` into the context's frame buffer (ctx->workBuf, which must
// hold length + 1 bytes) and, when the picture is complete, decodes it into
// the picture whose top row starts at ctx->dstPicture. Returns 1 or 0 as
// Dcmp_DecodeStill. The context is an initialised 640 x 480 one.
int16_t Dcmp_UnpackStill(const uint8_t* data, std::size_t length, int16_t thumbnail, DcmpContext* ctx);

// The unpacking pass alone: writes the frame to `frame` (capacity bytes, at
// least length + 1) and reports its length and the markers. Stops at the
// second start marker. Returns 0 only when the frame would not fit.
int32_t Dcmp_ScanStill(const uint8_t* data, std::size_t length, uint8_t* frame, std::size_t capacity,
                       DcmpStillScan* scan);

// Sets every byte of the bitmap to 255 (white), row by row.
void Dcmp_FillWhite(DcmpBitmap* bitmap);
