// Reading tile-compressed images: every tile decoded into a plain image.
#pragma once

#include <cstddef>

#include "error.hpp"
#include "hdu/compressed_image.hpp"
#include "hdu/image.hpp"
#include "io/file.hpp"

namespace vexlo {

// Decodes every tile into an image that owns its header and pixels.
Result<ImageHdu> decompress(const CompressedImageHdu& hdu);

// The image at `index`, a tile-compressed one decompressed.
Result<ImageHdu> load_image(const FitsFile& file, std::size_t index);

}  // namespace vexlo
