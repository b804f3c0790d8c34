// The tile writer's options that vexlo.compressed_image does not expose (GZIP_2, RICE_1,
// quantisation and dithering), so tests and benchmarks can write such files and hand them to
// other readers.
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <optional>
#include <string>
#include <vector>

#include "compression/writer.hpp"
#include "hooks.hpp"
#include "python/builders.hpp"
#include "python/errors.hpp"

namespace vexlo::py {

void add_compression_hooks(nb::module_& m) {
    m.def(
        "compress_tiles",
        [](nb::handle data, const std::string& compression,
           std::optional<std::vector<std::uint64_t>> tile_shape, std::optional<std::string> dither,
           double quantize_level, std::uint32_t dither_seed, std::uint32_t blocksize) {
            TileCompressOptions o;
            o.tile_shape = std::move(tile_shape);
            o.compression = compression_named(compression).value_or(Compression::Kind::Gzip1);
            if (dither) {
                o.dither = *dither == "SUBTRACTIVE_DITHER_1"   ? DitherMethod::Subtractive1
                           : *dither == "SUBTRACTIVE_DITHER_2" ? DitherMethod::Subtractive2
                                                               : DitherMethod::NoDither;
            }
            o.quantize_level = quantize_level;
            o.dither_seed = dither_seed;
            o.blocksize = blocksize;
            OwnedHdu encoded = encode_image_array(data, false, Header());
            const ImageHdu image =
                unwrap(ImageHdu::create(std::move(encoded.header), std::move(encoded.data)));
            BinTableHdu table = unwrap(compress_image_to_hdu(image, o));
            return make_bintable_builder(std::move(table).into_parts());
        },
        nb::arg("data"), nb::arg("compression") = "GZIP_1", nb::arg("tile_shape") = nb::none(),
        nb::arg("dither") = nb::none(), nb::arg("quantize_level") = 4.0, nb::arg("dither_seed") = 1,
        nb::arg("blocksize") = 32);
}

}  // namespace vexlo::py
