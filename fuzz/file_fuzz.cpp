// Whole files: the bytes are scanned, every HDU is loaded as its typed record and read
// through: image pixels in physical units and a small section, the first and last cells of
// every table column, decompressed tiles, and the checksums of every HDU.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "compression/reader.hpp"
#include "hdu/checksum.hpp"
#include "hdu/data_source.hpp"
#include "hdu/image_reader.hpp"
#include "hdu/load.hpp"
#include "io/file.hpp"

namespace {

using namespace vexlo;

constexpr std::size_t kMaxHdus = 8;

void read_image(const FitsFile& file, std::size_t index, const ImageHdu& image) {
    (void)image.physical_f64();
    (void)image.physical_f32();
    if (image.axes.empty()) return;
    const Result<DataSource> bytes = DataSource::of_file(file, index);
    if (!bytes) return;
    // The last pixel along every axis, and a box of up to 3 pixels per axis from the start.
    std::vector<std::uint64_t> start(image.axes.size()), shape(image.axes.size());
    for (std::size_t k = 0; k < image.axes.size(); ++k) {
        start[k] = image.axes[k] == 0 ? 0 : image.axes[k] - 1;
        shape[k] = image.axes[k] == 0 ? 0 : 1;
    }
    (void)read_section_bytes(*bytes, image.axes, start, shape, image.bitpix);
    std::fill(start.begin(), start.end(), 0);
    for (std::size_t k = 0; k < image.axes.size(); ++k)
        shape[k] = std::min<std::uint64_t>(image.axes[k], 3);
    (void)read_section_bytes(*bytes, image.axes, start, shape, image.bitpix);
}

template <class Table>
void read_cells(const Table& table) {
    for (const auto& column : table.columns) {
        if (table.n_rows == 0) break;
        (void)table.read_cell(0, column);
        (void)table.read_cell(table.n_rows - 1, column);
        (void)table.read_cell(table.n_rows, column);  // one past the end is refused
    }
}

void read_hdu(const FitsFile& file, std::size_t index, const Hdu& hdu) {
    switch (hdu.kind()) {
        case Hdu::Kind::Image:
            read_image(file, index, std::get<ImageHdu>(hdu.value));
            break;
        case Hdu::Kind::AsciiTable:
            read_cells(std::get<AsciiTableHdu>(hdu.value));
            break;
        case Hdu::Kind::BinTable:
            read_cells(std::get<BinTableHdu>(hdu.value));
            break;
        case Hdu::Kind::CompressedImage:
            if (Result<ImageHdu> image = decompress(std::get<CompressedImageHdu>(hdu.value))) {
                (void)image->physical_f64();
            }
            break;
        case Hdu::Kind::RandomGroups:
        case Hdu::Kind::Conforming:
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const bool lenient = (data[0] & 1) != 0;
    Result<FitsFile> file = scan_buffer(Bytes(data + 1, data + size), lenient);
    if (!file) return 0;
    for (std::size_t i = 0; i < file->len() && i < kMaxHdus; ++i) {
        if (Result<Hdu> hdu = load_hdu(*file, i)) read_hdu(*file, i, *hdu);
        (void)file->raw_hdu_bytes(i);
    }
    (void)verify_checksums(*file);
    return 0;
}
