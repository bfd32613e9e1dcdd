// Decodes any bytes as a stored picture, as the data source does, and
// enhances the picture when it decodes. The length of the input picks the
// mirror setting, so both block writers are reached.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "dcmp_enhance.h"
#include "dcmp_still.h"

namespace {

constexpr std::size_t kLargestStoredPicture = 307200;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size > kLargestStoredPicture)
        return 0;
    // A copy of exactly the input's size, so that any read past it is caught.
    const std::vector<uint8_t> stored(data, data + size);
    std::vector<uint8_t> picture(DCMP_STILL_PICTURE_BYTES);
    const int32_t flip = static_cast<int32_t>(size & 1);
    if (Dcmp_DecodeStill(DCMP_STILL_SIZE_VGA, DCMP_STILL_BLOCKS_420, 0, flip, 0, picture.data(), stored.size(),
                         stored.data())) {
        auto bitmap = std::make_unique<DcmpStillBitmap>();
        Dcmp_StillToBitmap(picture.data(), bitmap.get());
    }
    return 0;
}
