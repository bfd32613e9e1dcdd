// Layouts and GUIDs as published: the pointer-free structures keep their sizes
// (also checked at compile time in ks/ks.h), the ones with pointers have their
// natural 64-bit layout, and each GUID reads as its published text.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "ks/stream_class.h"

namespace {

struct SizeCase {
  const char* name;
  size_t size;
  size_t expected;
};

void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.name; }

class LayoutTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(LayoutTest, HasItsSize) { EXPECT_EQ(GetParam().size, GetParam().expected); }

#define SIZE_CASE(type, expected) SizeCase{#type, sizeof(type), expected}
INSTANTIATE_TEST_SUITE_P(
    Structures, LayoutTest,
    ::testing::Values(SIZE_CASE(KSPROPERTY, 24), SIZE_CASE(KSDATARANGE, 64), SIZE_CASE(KS_BITMAPINFOHEADER, 40),
                      SIZE_CASE(KS_VIDEOINFOHEADER, 88), SIZE_CASE(KS_VIDEO_STREAM_CONFIG_CAPS, 128),
                      SIZE_CASE(KS_DATARANGE_VIDEO, 296), SIZE_CASE(KS_DATAFORMAT_VIDEOINFOHEADER, 152),
                      SIZE_CASE(KSALLOCATOR_FRAMING, 24), SIZE_CASE(KSPROPERTY_STEPPING_LONG, 16),
                      SIZE_CASE(KSPROPERTY_VIDEOPROCAMP_S, 40), SIZE_CASE(KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S, 48),
                      SIZE_CASE(KSPROPERTY_DROPPEDFRAMES_CURRENT_S, 48),
                      // natural 64-bit layouts of the structures with pointers
                      SIZE_CASE(KSSTREAM_HEADER, 56), SIZE_CASE(KS_FRAME_INFO, 72),
                      SIZE_CASE(HW_INITIALIZATION_DATA, 96), SIZE_CASE(HW_STREAM_HEADER, 72),
                      SIZE_CASE(HW_STREAM_INFORMATION, 136), SIZE_CASE(HW_STREAM_OBJECT, 104),
                      SIZE_CASE(HW_STREAM_REQUEST_BLOCK, 128)),
    [](const auto& info) { return std::string(info.param.name); });

// Offsets inside the configuration capabilities that intersection compares byte for byte.
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, MinFrameInterval) == 104);
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, MaxBitsPerSecond) == 124);

std::string Text(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

struct GuidCase {
  const char* name;
  const GUID* guid;
  const char* text;
};

void PrintTo(const GuidCase& c, std::ostream* os) { *os << c.name; }

class GuidTest : public ::testing::TestWithParam<GuidCase> {};

TEST_P(GuidTest, ReadsAsPublished) { EXPECT_EQ(Text(*GetParam().guid), GetParam().text); }

#define GUID_CASE(g, text) GuidCase{#g, &g, text}
INSTANTIATE_TEST_SUITE_P(
    Published, GuidTest,
    ::testing::Values(GUID_CASE(KSDATAFORMAT_TYPE_VIDEO, "73646976-0000-0010-8000-00AA00389B71"),
                      GUID_CASE(MEDIASUBTYPE_RGB24, "E436EB7D-524F-11CE-9F53-0020AF0BA770"),
                      GUID_CASE(MEDIASUBTYPE_IYUV, "56555949-0000-0010-8000-00AA00389B71"),
                      GUID_CASE(KSDATAFORMAT_SPECIFIER_VIDEOINFO, "05589F80-C356-11CE-BF01-00AA0055595A"),
                      GUID_CASE(KSCATEGORY_VIDEO, "6994AD05-93EF-11D0-A3CC-00A0C9223196"),
                      GUID_CASE(KSCATEGORY_CAPTURE, "65E8773D-8F56-11D0-A3B9-00A0C9223196"),
                      GUID_CASE(PINNAME_VIDEO_CAPTURE, "FB6C4281-0353-11D1-905F-0000C0CC16BA"),
                      GUID_CASE(KSMEDIUMSETID_Standard, "4747B320-62CE-11CF-A5D6-28DB04C10000"),
                      GUID_CASE(KSPROPSETID_Connection, "1D58C920-AC9B-11CF-A5D6-28DB04C10000"),
                      GUID_CASE(KSPROPTYPESETID_General, "97E99BA0-BDEA-11CF-A5D6-28DB04C10000"),
                      GUID_CASE(PROPSETID_VIDCAP_VIDEOPROCAMP, "C6E13360-30AC-11D0-A18C-00A0C9118956"),
                      GUID_CASE(PROPSETID_VIDCAP_CAMERACONTROL, "C6E13370-30AC-11D0-A18C-00A0C9118956"),
                      GUID_CASE(PROPSETID_VIDCAP_VIDEOCONTROL, "6A2E0670-28E4-11D0-A18C-00A0C9118956"),
                      GUID_CASE(PROPSETID_VIDCAP_VIDEODECODER, "C6E13350-30AC-11D0-A18C-00A0C9118956"),
                      GUID_CASE(PROPSETID_VIDCAP_VIDEOCOMPRESSION, "C6E13343-30AC-11D0-A18C-00A0C9118956"),
                      GUID_CASE(PROPSETID_VIDCAP_DROPPEDFRAMES, "C6E13344-30AC-11D0-A18C-00A0C9118956")),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
