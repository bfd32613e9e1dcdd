// Formats and data ranges that a capture application hands the driver: the
// bytes are the format (FormatSize is their length, as the class passes it).
// Verification and intersection must never read or write outside them.
#include <cstdint>
#include <cstring>
#include <vector>

#include "torvexv.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < sizeof(ULONG) || size > 4096) return 0;
  std::vector<uint64_t> storage((size + 7) / 8);  // aligned like the class's copy
  std::memcpy(storage.data(), data, size);
  auto* format = reinterpret_cast<KSDATAFORMAT*>(storage.data());
  format->FormatSize = static_cast<ULONG>(size);
  AdapterVerifyFormat(format, 0);

  KS_DATAFORMAT_VIDEOINFOHEADER out;
  for (ULONG outSize : {static_cast<ULONG>(sizeof(ULONG)), static_cast<ULONG>(sizeof(out))}) {
    STREAM_DATA_INTERSECT_INFO info{};
    info.StreamNumber = 0;
    info.DataRange = format;
    info.DataFormatBuffer = &out;
    info.SizeOfDataFormatBuffer = outSize;
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.CommandData.IntersectInfo = &info;
    if (AdapterFormatFromRange(&srb) && outSize == sizeof(out)) AdapterVerifyFormat(&out.DataFormat, 0);
  }
  return 0;
}
