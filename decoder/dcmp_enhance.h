// Enhancement of a decoded stored picture into the data source's working
// bitmap: mirror copy, edge sharpening, then an automatic colour balance and
// level stretch computed from the picture's own statistics.
#pragma once

#include <cstdint>

#include "dcmp_still.h"

// `picture` is the 921,600-byte decode buffer of Dcmp_DecodeStill (bottom-up
// rows of blue, green, red); it is only read. `bitmap` receives the picture
// upright and mirrored left-right, sharpened and corrected.
//
// Stored quantities are single precision; every expression that produces one
// is evaluated in x87 extended precision and rounded once when stored, so the
// result is exact to the level, not within one level.
void Dcmp_StillToBitmap(const uint8_t* picture, DcmpBitmap* bitmap);
