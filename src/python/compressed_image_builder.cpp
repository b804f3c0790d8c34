// vexlo.compressed_image(): an image tile-compressed into a BINTABLE builder.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "compression/writer.hpp"
#include "hdu/tile_params.hpp"
#include "python/args.hpp"
#include "python/builders.hpp"
#include "python/errors.hpp"
#include "python/header.hpp"
#include "python/method.hpp"
#include "python/module.hpp"

namespace vexlo::py {

namespace {

std::vector<std::uint64_t> tile_shape_argument(nb::handle obj) {
    const std::optional<std::size_t> n = sequence_length(obj);
    if (!n) raise_not_instance(obj, "Sequence");
    std::vector<std::uint64_t> shape;
    shape.reserve(*n);
    for (std::size_t i = 0; i < *n; ++i) {
        const nb::object item = sequence_item(obj, i);
        if (!item.is_valid()) throw nb::python_error();
        const std::uint64_t length = to_u64(item);
        // Refused here, before any pixel is encoded: a longer tile would be written as a
        // number that no reader, this one included, takes for a tile length.
        if (length > kMaxTileLength) {
            raise(PyExc_ValueError, "tile_shape entry " + std::to_string(i) + " is " +
                                        std::to_string(length) +
                                        ", above the largest tile "
                                        "length a header can hold (" +
                                        std::to_string(kMaxTileLength) + ")");
        }
        shape.push_back(length);
    }
    return shape;
}

// One UserWarning per reserved keyword of the user's cards, runs of one keyword counted once.
void warn_reserved(const Header& user) {
    const std::vector<std::string> keys = user.tile_table_keywords();
    if (keys.empty()) return;
    const nb::object warn = nb::module_::import_("warnings").attr("warn");
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (i > 0 && keys[i] == keys[i - 1]) continue;
        const std::string msg = "Keyword '" + keys[i] +
                                "' is reserved for use by the FITS Tiled Image Convention so "
                                "will be dropped";
        warn(nb::str(msg.data(), msg.size()));
    }
}

constexpr auto kData = required<nb::handle>("data");
constexpr auto kHeader = or_none<nb::handle>("header");
constexpr auto kTileShape =
    keyword_only(or_none<std::vector<std::uint64_t>>("tile_shape", tile_shape_argument));
constexpr auto kExtname = keyword_only(or_none<std::string>("extname"));

nb::object py_compressed_image(const Args& p) {
    const nb::handle data = p.get(kData);
    const nb::handle header = p.get(kHeader);
    TileCompressOptions options;
    options.tile_shape = p.get(kTileShape);
    // Without a name the image header's own EXTNAME is kept; the default applies only when
    // it has none.
    options.extname = p.get(kExtname);
    options.compression = Compression::Kind::Gzip1;

    Header user = header.is_valid() ? header_from_py(header) : Header();
    warn_reserved(user);
    OwnedHdu encoded = encode_image_array(data, false, std::move(user));
    const ImageHdu image =
        unwrap(ImageHdu::create(std::move(encoded.header), std::move(encoded.data)));
    BinTableHdu table = unwrap(without_gil([&] { return compress_image_to_hdu(image, options); }));
    return make_bintable_builder(std::move(table).into_parts());
}

constexpr auto kCompressedImageSig =
    signature("compressed_image()", kData, kHeader, kTileShape, kExtname);
constexpr auto kCompressedImageDoc = function_doc<kCompressedImageSig>(
    "Tile-compress a numpy array into a ``BINTABLE`` HDU (``ZIMAGE``).\n\n"
    "The pixels are encoded as :func:`image` encodes an image extension and stored in GZIP_1\n"
    "tiles, losslessly. ``tile_shape`` lists the tile length per FITS axis, NAXIS1 first\n"
    "(default: one image row per tile). ``extname`` names the HDU (default: the header's\n"
    "EXTNAME, else COMPRESSED_IMAGE). Cards the tiled image convention reserves are dropped\n"
    "with a warning.");
constexpr FunctionDef kCompressedImage{kCompressedImageDoc, py_compressed_image};
const Registration kCompressedImageRegistration{
    "compressed_image", [](nb::module_& m) { return make_function<kCompressedImage>(m); }};

}  // namespace

}  // namespace vexlo::py
