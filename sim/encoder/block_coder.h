// Coding of one 8 x 8 block in the camera's format, shared by the frame
// encoder and the stored-picture encoder.
//
// Coefficient order is the decoder's: index 8u + v, u the horizontal and v the
// vertical frequency, no zig-zag. Dequantisation factors are the decoder's
// scaled factors (quality-scaled table entry times 16, see Dcmp_QuantFactor),
// for which the decoder's chain equals a standard inverse DCT of
// (quantised value x factor / 16).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace torvex::sim {

using SampleBlock = std::array<float, 64>;        // raster order 8y + x
using DctBlock = std::array<float, 64>;           // coefficient order 8u + v
using CoefBlock = std::array<std::int16_t, 64>;   // quantised, coefficient order
using PixelBlock = std::array<std::uint8_t, 64>;  // raster order, as stored in a plane

// Orthonormal 8 x 8 forward DCT of level-shifted samples (value - 128).
DctBlock ForwardDct(const SampleBlock& samples);

// Quantises with the decoder's scaled factors, rounding to nearest. With
// `steps` (may be null), coded values are further limited to multiples of
// steps[i], a coarser quantiser of the encoder's own choice inside the
// decoder's. Values are clamped to the 12-bit range and so that
// value x factor fits 16 bits (the decoder's dequantisation wraps).
// Coefficients with u + v above frequencyLimit become 0.
CoefBlock Quantize(const DctBlock& dct, const std::int16_t* factors, const std::int16_t* steps = nullptr,
                   int frequencyLimit = 14);

// Pixels the decoder produces for a coded block: dequantisation, its inverse
// transform, level shift and the unmirrored limit to 0..255.
PixelBlock Reconstruct(const CoefBlock& coef, const std::int16_t* factors);

// Appends the coded block: header byte, the shortest sequence of codes, and
// the terminating zero byte. The header and every byte the decoder ignores
// are chosen nonzero and never 0x01..0x3F after a zero byte. At most 130 bytes.
void AppendCodedBlock(const CoefBlock& coef, std::vector<std::uint8_t>& out);

// Appends a copy block (2 bytes): the decoder repeats the previous block's pixels.
void AppendCopyBlock(std::vector<std::uint8_t>& out);

}  // namespace torvex::sim
