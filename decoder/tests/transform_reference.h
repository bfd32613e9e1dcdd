// Oracle of Dcmp_IDCT8x8aan for the tests.
#pragma once

#include <cstdint>

// Transforms the 64 dequantised coefficients of block in place.
void ReferenceTransform(int16_t* block);
