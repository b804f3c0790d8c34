// Whole files through the tile-compressed image reader: every HDU of the bytes is loaded as an
// image, so tables whose Z keywords, descriptors, gzip tiles or quantisation lie reach the
// record, the tile reader and every codec.
#include <cstddef>
#include <cstdint>

#include "compression/reader.hpp"
#include "io/file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vexlo::Bytes bytes(data, data + size);
    vexlo::Result<vexlo::FitsFile> file = vexlo::scan_buffer(std::move(bytes), true);
    if (!file) return 0;
    for (std::size_t i = 0; i < file->len() && i < 8; ++i)
        (void)vexlo::load_image(*file, i);
    return 0;
}
