// Helpers shared by the decoder tests: an initialised context that frees
// itself, and a builder for small hand-made frames.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "dcmp.h"

// A context initialised for one output size, released on destruction.
struct Decoder {
    DcmpContext ctx{};
    int32_t ready = 0;

    Decoder(int32_t width, int32_t height, int32_t quality = 2, int32_t flip = 0)
    {
        ctx.outWidth = width;
        ctx.outHeight = height;
        ctx.qualityLevel = quality;
        ctx.flip = flip;
        ready = Dcmp_Initialize(&ctx);
    }
    ~Decoder() { Dcmp_Release(&ctx); }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    void SetFrame(const std::vector<uint8_t>& frame)
    {
        ctx.srcFrame = frame.data();
        ctx.srcFrameSize = frame.size();
    }
};

// Byte strings of single blocks.
inline std::vector<uint8_t> EmptyBlock() { return {0x00, 0x00}; }
inline std::vector<uint8_t> CopyBlock() { return {0xC0, 0x00}; }
// A coded block holding only a DC value (12-bit, written as one large-value
// code; its spare bit 5 is set so that the code byte is never zero).
inline std::vector<uint8_t> DcBlock(int16_t dc)
{
    const unsigned bits = static_cast<unsigned>(dc) & 0xFFF;
    return {0x30, static_cast<uint8_t>(0x20 | (bits >> 7)), static_cast<uint8_t>(bits & 0x7F), 0x00};
}

// A frame: 6 header bytes, then per macroblock 3 header bytes and six blocks.
struct FrameBuilder {
    std::vector<uint8_t> bytes{0x00, 0x01, 0x11, 0x22, 0x33, 0x44};

    FrameBuilder& Macroblock(std::initializer_list<std::vector<uint8_t>> blocks)
    {
        bytes.insert(bytes.end(), {0x5A, 0xA5, 0x77});
        for (const auto& block : blocks)
            bytes.insert(bytes.end(), block.begin(), block.end());
        return *this;
    }
    // Fills up to `count` macroblocks with the same block in all six places.
    FrameBuilder& Repeat(int count, const std::vector<uint8_t>& block)
    {
        for (int i = 0; i < count; i++)
            Macroblock({block, block, block, block, block, block});
        return *this;
    }
    std::vector<uint8_t> Build() const
    {
        std::vector<uint8_t> frame = bytes;
        frame.push_back(0x00);  // closing zero byte, as the driver adds
        return frame;
    }
};
