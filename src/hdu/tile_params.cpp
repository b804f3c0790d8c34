#include "hdu/tile_params.hpp"

#include <algorithm>
#include <iterator>
#include <memory>
#include <string>
#include <utility>

#include "hdu/compressed_image.hpp"
#include "hdu/tile_grid.hpp"
#include "util/number.hpp"
#include "util/text.hpp"

namespace vexlo {

namespace {

// The ZCMPTYPE of each algorithm and the comment it is written with; one more name, RICE_ONE,
// is read as RICE_1.
struct CmptypeName {
    Compression::Kind kind;
    std::string_view name;
    std::string_view comment;
};
constexpr CmptypeName kCmptypes[] = {
    {Compression::Kind::Gzip1, "GZIP_1", "gzip RFC 1952"},
    {Compression::Kind::Gzip2, "GZIP_2", "gzip RFC 1952, byte planes shuffled"},
    {Compression::Kind::Rice1, "RICE_1", "Rice coding"},
    {Compression::Kind::Plio1, "PLIO_1", "IRAF pixel list coding"},
    {Compression::Kind::Hcompress1, "HCOMPRESS_1", "H-transform coding"},
    {Compression::Kind::None, "NOCOMPRESS", "tiles stored as they are"},
};

const CmptypeName& cmptype_name(Compression::Kind kind) {
    for (const CmptypeName& c : kCmptypes) {
        if (c.kind == kind) return c;
    }
    return kCmptypes[0];
}

// A row per algorithm, the last enum value's included.
static_assert(std::size(kCmptypes) == static_cast<std::size_t>(Compression::Kind::None) + 1);

// The algorithms that keep every bit of a pixel, the only ones floats may use unquantised.
bool is_lossless(std::optional<Compression::Kind> kind) {
    if (!kind) return false;
    switch (*kind) {
        case Compression::Kind::Gzip1:
        case Compression::Kind::Gzip2:
        case Compression::Kind::None:
            return true;
        case Compression::Kind::Rice1:
        case Compression::Kind::Plio1:
        case Compression::Kind::Hcompress1:
            return false;
    }
    return false;
}

// The image cards a tile table keeps under other names.
constexpr std::pair<std::string_view, std::string_view> kImageCardNames[] = {
    {"BLANK", "ZBLANK"},   {"SIMPLE", "ZSIMPLE"},   {"EXTEND", "ZEXTEND"},    {"PCOUNT", "ZPCOUNT"},
    {"GCOUNT", "ZGCOUNT"}, {"BLOCKED", "ZBLOCKED"}, {"XTENSION", "ZTENSION"},
};

// The ZQUANTIZ of each dither method.
constexpr std::pair<DitherMethod, std::string_view> kDitherNames[] = {
    {DitherMethod::NoDither, "NO_DITHER"},
    {DitherMethod::Subtractive1, "SUBTRACTIVE_DITHER_1"},
    {DitherMethod::Subtractive2, "SUBTRACTIVE_DITHER_2"},
};

std::string_view dither_name(DitherMethod method) {
    for (const auto& [m, name] : kDitherNames) {
        if (m == method) return name;
    }
    return kDitherNames[0].second;
}

const BinColumn* column_named(const std::vector<BinColumn>& columns, std::string_view name,
                              std::size_t& slot) {
    for (std::size_t k = 0; k < columns.size(); ++k) {
        if (ascii_iequal(columns[k].name, name)) {
            slot = k;
            return &columns[k];
        }
    }
    return nullptr;
}

std::string tform_keyword(const BinColumn& c) {
    return "TFORM(col " + std::to_string(c.index) + ")";
}

// Visits the ZNAMEi/ZVALi pairs in order until the first missing ZNAMEi; `apply` gets the
// trimmed name and the ZVALi keyword, and returns an error to stop.
template <class F>
Result<void> scan_parameters(const Header& h, F&& apply) {
    for (int i = 1; i <= 999; ++i) {
        const std::optional<std::string> name = h.get_str("ZNAME" + std::to_string(i));
        if (!name) break;
        VEXLO_TRY(apply(trim_ws(*name), "ZVAL" + std::to_string(i)));
    }
    return {};
}

std::optional<bool> read_quantize(std::string_view zq, bool floating, std::int64_t zbitpix,
                                  DitherMethod& method, Result<void>& error) {
    if (zq.empty() || zq == "NONE") return false;
    const auto* named = std::find_if(std::begin(kDitherNames), std::end(kDitherNames),
                                     [&](const auto& d) { return d.second == zq; });
    if (named == std::end(kDitherNames)) {
        error = fail(Error::non_standard(
            "ZQUANTIZ=`" + std::string(zq) +
            "` not supported (expected NONE, NO_DITHER, SUBTRACTIVE_DITHER_1 or "
            "SUBTRACTIVE_DITHER_2)"));
        return std::nullopt;
    }
    method = named->first;
    if (!floating) {
        error = fail(Error::header("ZQUANTIZ requires a floating-point ZBITPIX, got " +
                                   std::to_string(zbitpix)));
        return std::nullopt;
    }
    return true;
}

// Whether a ZSCALE or ZZERO column or keyword is present: without ZQUANTIZ, that is what
// tells quantised floats from floats stored as they are.
bool has_quantize_card(const Header& h, const std::vector<BinColumn>& columns) {
    std::size_t slot = 0;
    for (const std::string_view name : {"ZSCALE", "ZZERO"}) {
        if (column_named(columns, name, slot) || h.get(name)) return true;
    }
    return false;
}

// HCOMPRESS codes each tile as a 2-D array: at most two axes of a tile may be longer than 1.
bool tiles_are_planes(const std::vector<std::uint64_t>& axes,
                      const std::vector<std::uint64_t>& tile) {
    const TileGrid grid = make_tile_grid(axes, tile, 1);
    const auto long_axes =
        std::count_if(grid.tile.begin(), grid.tile.end(), [](std::uint64_t t) { return t > 1; });
    return long_axes <= 2;
}

// ZNAMEi and ZVALi.
Result<void> put_parameter(CardSink& out, int i, std::string_view name, std::int64_t value,
                           std::string_view comment) {
    VEXLO_TRY(out.text(indexed_keyword("ZNAME", i), name, std::string(comment)));
    return out.integer(indexed_keyword("ZVAL", i), value);
}

// The image's SIMPLE = T or its XTENSION, kept as ZSIMPLE or ZTENSION.
Result<void> write_image_kind(const Header& image, CardSink& out) {
    const std::optional<Value> simple = image.get_value("SIMPLE");
    const std::optional<Value> xtension = image.get_value("XTENSION");
    if (simple && simple->is(Value::Kind::Logical) && simple->logical) {
        return out.put(tile_table_keyword("SIMPLE"), Value::make_logical(true),
                       "conforms to FITS standard");
    }
    if (xtension && xtension->is(Value::Kind::String)) {
        return out.text(tile_table_keyword("XTENSION"), xtension->text, "original extension type");
    }
    return {};
}

// The image's EXTEND, PCOUNT and GCOUNT, kept as ZEXTEND, ZPCOUNT and ZGCOUNT.
Result<void> write_image_counts(const Header& image, CardSink& out) {
    if (const std::optional<Value> v = image.get_value("EXTEND");
        v && v->is(Value::Kind::Logical)) {
        VEXLO_TRY(out.put(tile_table_keyword("EXTEND"), *v));
    }
    for (const std::string_view from : {"PCOUNT", "GCOUNT"}) {
        if (const std::optional<Value> v = image.get_value(from);
            v && v->is(Value::Kind::Integer)) {
            VEXLO_TRY(out.put(tile_table_keyword(from), *v));
        }
    }
    return {};
}

Result<void> write_algorithm(const TileParams& p, CardSink& out) {
    switch (p.cmptype.kind) {
        case Compression::Kind::Rice1:
            VEXLO_TRY(
                put_parameter(out, 1, "BLOCKSIZE", p.cmptype.blocksize, "pixels per Rice block"));
            return put_parameter(out, 2, "BYTEPIX", static_cast<std::int64_t>(p.internal_bp),
                                 "bytes per pixel");
        case Compression::Kind::Hcompress1:
            VEXLO_TRY(put_parameter(out, 1, "SCALE", p.cmptype.scale, "H-transform scale factor"));
            return put_parameter(out, 2, "SMOOTH", p.cmptype.smooth ? 1 : 0,
                                 "smoothing on decoding");
        case Compression::Kind::Gzip1:
        case Compression::Kind::Gzip2:
        case Compression::Kind::Plio1:
        case Compression::Kind::None:
            return {};
    }
    return {};
}

Result<void> write_quantize(const TileParams& p, CardSink& out) {
    if (!p.quantize) {
        if (is_float(p.bitpix)) {
            return out.text("ZQUANTIZ", "NONE", "no quantization (raw IEEE bytes)");
        }
        return {};
    }
    const QuantizeInfo& q = *p.quantize;
    VEXLO_TRY(out.text("ZQUANTIZ", dither_name(q.dither), "quantization dither method"));
    VEXLO_TRY(out.integer("ZDITHER0", q.dither_seed, "dither seed offset"));
    // A value kept in a column of the table has no card.
    if (q.blank.kind == TileValue<std::int32_t>::Kind::Constant) {
        VEXLO_TRY(out.integer("ZBLANK", q.blank.value, "undefined-pixel sentinel"));
    }
    if (q.scale.kind == TileValue<double>::Kind::Constant) {
        VEXLO_TRY(out.put("ZSCALE", Value::make_real(q.scale.value)));
    }
    if (q.zero.kind == TileValue<double>::Kind::Constant) {
        VEXLO_TRY(out.put("ZZERO", Value::make_real(q.zero.value)));
    }
    return {};
}

}  // namespace

bool declares_zimage(const Header& header) {
    const std::optional<Value> v = header.get_value("ZIMAGE");
    return v && v->is(Value::Kind::Logical) && v->logical;
}

std::string_view tile_table_keyword(std::string_view image_keyword) {
    for (const auto& [image, table] : kImageCardNames) {
        if (image_keyword == image) return table;
    }
    return image_keyword;
}

std::string_view compression_name(Compression::Kind kind) {
    return cmptype_name(kind).name;
}

std::optional<Compression::Kind> compression_named(std::string_view name) {
    if (name == "RICE_ONE") return Compression::Kind::Rice1;
    for (const CmptypeName& c : kCmptypes) {
        if (c.name == name) return c.kind;
    }
    return std::nullopt;
}

Result<TileValue<double>> read_tile_value(const Header& header,
                                          const std::vector<BinColumn>& columns,
                                          std::string_view name) {
    std::size_t slot = 0;
    if (const BinColumn* c = column_named(columns, name, slot)) {
        switch (c->format.kind) {
            case BinKind::I32:
            case BinKind::I64:
            case BinKind::F32:
            case BinKind::F64:
                return TileValue<double>::from_column(slot);
            default:
                return fail(
                    Error::value(tform_keyword(*c),
                                 std::string(name) + " column must be a scalar float/integer"));
        }
    }
    const std::optional<double> v = header.get_f64(name);
    if (!v) return fail(Error::missing_mandatory(std::string(name)));
    return TileValue<double>::constant(*v);
}

Result<TileValue<std::int32_t>> read_zblank(const Header& header,
                                            const std::vector<BinColumn>& columns) {
    std::size_t slot = 0;
    if (const BinColumn* c = column_named(columns, "ZBLANK", slot)) {
        if (is_integer_kind(c->format.kind)) return TileValue<std::int32_t>::from_column(slot);
        return fail(Error::value(tform_keyword(*c), "ZBLANK column must be a scalar integer"));
    }
    const std::optional<std::int64_t> v = header.get_i64("ZBLANK");
    if (!v) return TileValue<std::int32_t>::constant(-2147483647);
    return TileValue<std::int32_t>::constant(
        static_cast<std::int32_t>(static_cast<std::uint32_t>(*v)));
}

Result<std::uint32_t> read_rice_params(const Header& header, Bitpix effective) {
    if (effective != Bitpix::U8 && effective != Bitpix::I16 && effective != Bitpix::I32) {
        return fail(Error::non_standard(
            "RICE_1 requires an effective integer pixel size of 1/2/4 bytes; got effective "
            "BITPIX=" +
            std::to_string(bitpix_value(effective))));
    }
    const std::int64_t bytepix = static_cast<std::int64_t>(bytes_per_pixel(effective));
    std::uint32_t blocksize = 32;
    VEXLO_TRY(scan_parameters(
        header, [&](std::string_view name, const std::string& zval) -> Result<void> {
            if (name != "BYTEPIX" && name != "BLOCKSIZE") return {};
            VEXLO_ASSIGN_OR_RETURN(const std::int64_t v, header.require_i64(zval));
            if (name == "BYTEPIX") {
                if (v != bytepix) {
                    return fail(Error::non_standard(
                        "RICE BYTEPIX=" + std::to_string(v) +
                        " does not match effective |BITPIX|/8=" + std::to_string(bytepix)));
                }
            } else if (v < 1) {
                return fail(
                    Error::value(zval, "RICE BLOCKSIZE must be > 0, got " + std::to_string(v)));
            } else {
                blocksize = static_cast<std::uint32_t>(v);
            }
            return {};
        }));
    return blocksize;
}

Result<Compression> read_hcompress_params(const Header& header) {
    Compression c;
    c.kind = Compression::Kind::Hcompress1;
    VEXLO_TRY(scan_parameters(
        header, [&](std::string_view name, const std::string& zval) -> Result<void> {
            if (name != "SMOOTH" && name != "SCALE") return {};
            if (name == "SCALE") {
                // The standard compressor writes SCALE as a real: its scale relative to the
                // image noise, not the factor stored in the stream, so a real value only passes
                // when it is a number and is not checked against the stream.
                const std::optional<Value> real = header.get_value(zval);
                if (real && real->is(Value::Kind::Real)) {
                    if (!(real->real >= 0.0 && real->real <= 2147483647.0)) {
                        return fail(Error::value(zval, "HCOMPRESS SCALE out of range: " +
                                                           format_real_plain(real->real)));
                    }
                    c.scale = 0;
                    return {};
                }
            }
            if (name == "SMOOTH") {
                // Writers store the flag as a logical as well as an integer: T is 1, F is 0.
                const std::optional<Value> flag = header.get_value(zval);
                if (flag && flag->is(Value::Kind::Logical)) {
                    c.smooth = flag->logical;
                    return {};
                }
            }
            VEXLO_ASSIGN_OR_RETURN(const std::int64_t v, header.require_i64(zval));
            if (name == "SMOOTH") {
                c.smooth = v != 0;
            } else if (v < 0 || v > 2147483647) {
                return fail(
                    Error::value(zval, "HCOMPRESS SCALE out of range: " + std::to_string(v)));
            } else {
                c.scale = static_cast<std::int32_t>(v);
            }
            return {};
        }));
    return c;
}

Result<TileParams> read_tile_params(const Header& h, const std::vector<BinColumn>& columns) {
    if (!declares_zimage(h)) {
        return fail(
            Error::hdu_mismatch("compressed image (ZIMAGE = T)", "BINTABLE without ZIMAGE"));
    }
    VEXLO_ASSIGN_OR_RETURN(const std::int64_t zbitpix, h.require_i64("ZBITPIX"));
    VEXLO_ASSIGN_OR_RETURN(const Bitpix bitpix, from_bitpix(zbitpix));
    VEXLO_ASSIGN_OR_RETURN(const std::int64_t znaxis, h.require_i64("ZNAXIS"));
    if (znaxis < 0 || znaxis > 999) {
        return fail(Error::value("ZNAXIS", "ZNAXIS=" + std::to_string(znaxis) + " out of range"));
    }
    std::vector<std::uint64_t> axes, tile;
    for (std::int64_t n = 1; n <= znaxis; ++n) {
        const std::string zn = "ZNAXIS" + std::to_string(n);
        VEXLO_ASSIGN_OR_RETURN(const std::int64_t len, h.require_i64(zn));
        if (len < 0) return fail(Error::value(zn, "must be >= 0"));
        axes.push_back(static_cast<std::uint64_t>(len));
        const std::string zt = "ZTILE" + std::to_string(n);
        const std::int64_t t = h.get_i64(zt).value_or(n == 1 ? len : 1);
        if (t < 0) return fail(Error::value(zt, "must be >= 0"));
        tile.push_back(static_cast<std::uint64_t>(t));
    }
    const std::optional<std::string> zcmp = h.get_str("ZCMPTYPE");
    if (!zcmp) return fail(Error::missing_mandatory("ZCMPTYPE"));
    const std::string_view cmptype = trim_ws(*zcmp);

    const bool floating = is_float(bitpix);
    // Without ZQUANTIZ, floats are quantised only when scaling cards say how.
    bool quantised = floating && has_quantize_card(h, columns);
    DitherMethod method = DitherMethod::NoDither;
    if (const std::optional<std::string> zq = h.get_str("ZQUANTIZ")) {
        Result<void> error;
        const std::optional<bool> q = read_quantize(trim_ws(*zq), floating, zbitpix, method, error);
        if (!q) return fail(std::move(error).error());
        quantised = *q;
    }
    std::optional<QuantizeInfo> quantize;
    if (quantised) {
        QuantizeInfo qi;
        qi.dither = method;
        VEXLO_ASSIGN_OR_RETURN(qi.scale, read_tile_value(h, columns, "ZSCALE"));
        VEXLO_ASSIGN_OR_RETURN(qi.zero, read_tile_value(h, columns, "ZZERO"));
        VEXLO_ASSIGN_OR_RETURN(qi.blank, read_zblank(h, columns));
        const std::optional<std::int64_t> seed = h.get_i64("ZDITHER0");
        qi.dither_seed = seed && *seed >= 0 ? static_cast<std::uint32_t>(*seed) : 1;
        quantize = qi;
    }

    const Bitpix effective = quantised ? Bitpix::I32 : bitpix;
    const std::optional<Compression::Kind> kind = compression_named(cmptype);
    if (floating && !quantised && !is_lossless(kind)) {
        return fail(Error::non_standard(
            "lossless float compression requires ZCMPTYPE=GZIP_1, GZIP_2 or NOCOMPRESS, got " +
            std::string(cmptype)));
    }
    if (!kind) {
        return fail(Error::non_standard(
            "tile compression algorithm `" + std::string(cmptype) +
            "` is not supported (this build supports GZIP_1, GZIP_2, RICE_1, PLIO_1, "
            "HCOMPRESS_1 and NOCOMPRESS)"));
    }
    Compression c;
    c.kind = *kind;
    switch (*kind) {
        case Compression::Kind::Rice1: {
            VEXLO_ASSIGN_OR_RETURN(c.blocksize, read_rice_params(h, effective));
            break;
        }
        case Compression::Kind::Plio1:
            if (effective == Bitpix::I64) {
                return fail(Error::non_standard(
                    "PLIO_1 only supports 8/16/32-bit integer images, got effective BITPIX=64"));
            }
            break;
        case Compression::Kind::Hcompress1: {
            if (znaxis < 2) {
                return fail(Error::non_standard("HCOMPRESS_1 requires a 2-D image, got ZNAXIS=" +
                                                std::to_string(znaxis)));
            }
            if (!tiles_are_planes(axes, tile)) {
                return fail(Error::non_standard(
                    "HCOMPRESS_1 tiles must be longer than 1 on at most two axes"));
            }
            VEXLO_ASSIGN_OR_RETURN(c, read_hcompress_params(h));
            break;
        }
        case Compression::Kind::Gzip1:
        case Compression::Kind::Gzip2:
        case Compression::Kind::None:
            break;
    }

    TileParams p;
    p.bitpix = bitpix;
    p.axes = std::move(axes);
    p.tile = std::move(tile);
    p.cmptype = c;
    p.internal_bp = static_cast<std::size_t>(bytes_per_pixel(effective));
    p.quantize = quantize;
    return p;
}

Result<void> write_tile_params(const TileParams& p, const Header& image, Header& h) {
    CardSink out{h};
    VEXLO_TRY(out.put("ZIMAGE", Value::make_logical(true)));
    const CmptypeName& cmptype = cmptype_name(p.cmptype.kind);
    VEXLO_TRY(out.text("ZCMPTYPE", cmptype.name, std::string(cmptype.comment)));
    VEXLO_TRY(write_image_kind(image, out));
    VEXLO_TRY(out.integer("ZBITPIX", bitpix_value(p.bitpix)));
    VEXLO_TRY(out.integer("ZNAXIS", static_cast<std::int64_t>(p.axes.size())));
    for (std::size_t i = 0; i < p.axes.size(); ++i) {
        VEXLO_TRY(
            out.integer(indexed_keyword("ZNAXIS", i + 1), static_cast<std::int64_t>(p.axes[i])));
    }
    VEXLO_TRY(write_image_counts(image, out));
    for (std::size_t i = 0; i < p.tile.size(); ++i) {
        VEXLO_TRY(
            out.integer(indexed_keyword("ZTILE", i + 1), static_cast<std::int64_t>(p.tile[i])));
    }
    VEXLO_TRY(write_algorithm(p, out));
    return write_quantize(p, out);
}

Result<CompressedImageHdu> CompressedImageHdu::from_bintable(BinTableHdu&& table) {
    VEXLO_ASSIGN_OR_RETURN(TileParams params, read_tile_params(table.header, table.columns));
    CompressedImageHdu rec;
    rec.params = std::make_shared<const TileParams>(std::move(params));
    rec.inner = std::move(table);
    return rec;
}

}  // namespace vexlo
