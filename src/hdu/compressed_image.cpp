#include "hdu/compressed_image.hpp"

#include <algorithm>
#include <string>

#include "util/number.hpp"
#include "util/text.hpp"

namespace vexlo {

namespace {

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
    if (zq == "NO_DITHER") {
        method = DitherMethod::NoDither;
    } else if (zq == "SUBTRACTIVE_DITHER_1") {
        method = DitherMethod::Subtractive1;
    } else if (zq == "SUBTRACTIVE_DITHER_2") {
        method = DitherMethod::Subtractive2;
    } else {
        error = fail(Error::non_standard(
            "ZQUANTIZ=`" + std::string(zq) +
            "` not supported (expected NONE, NO_DITHER, SUBTRACTIVE_DITHER_1 or "
            "SUBTRACTIVE_DITHER_2)"));
        return std::nullopt;
    }
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
// A tile length of 0 stands for the whole axis, and no tile is longer than its axis.
bool tiles_are_planes(const std::vector<std::uint64_t>& axes,
                      const std::vector<std::uint64_t>& tile) {
    int long_axes = 0;
    for (std::size_t i = 0; i < axes.size(); ++i) {
        const std::uint64_t t = tile[i] == 0 ? axes[i] : std::min(tile[i], axes[i]);
        if (t > 1) ++long_axes;
    }
    return long_axes <= 2;
}

}  // namespace

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
        switch (c->format.kind) {
            case BinKind::Byte:
            case BinKind::I16:
            case BinKind::I32:
            case BinKind::I64:
                return TileValue<std::int32_t>::from_column(slot);
            default:
                return fail(
                    Error::value(tform_keyword(*c), "ZBLANK column must be a scalar integer"));
        }
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

Result<CompressedImageHdu> CompressedImageHdu::from_bintable(BinTableHdu&& table) {
    const Header& h = table.header;
    const std::optional<Value> zimage = h.get_value("ZIMAGE");
    if (!zimage || !zimage->is(Value::Kind::Logical) || !zimage->logical) {
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
    bool quantised = floating && has_quantize_card(h, table.columns);
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
        VEXLO_ASSIGN_OR_RETURN(qi.scale, read_tile_value(h, table.columns, "ZSCALE"));
        VEXLO_ASSIGN_OR_RETURN(qi.zero, read_tile_value(h, table.columns, "ZZERO"));
        VEXLO_ASSIGN_OR_RETURN(qi.blank, read_zblank(h, table.columns));
        const std::optional<std::int64_t> seed = h.get_i64("ZDITHER0");
        qi.dither_seed = seed && *seed >= 0 ? static_cast<std::uint32_t>(*seed) : 1;
        quantize = qi;
    }

    const Bitpix effective = quantised ? Bitpix::I32 : bitpix;
    Compression c;
    if (floating && !quantised && cmptype != "GZIP_1" && cmptype != "GZIP_2" &&
        cmptype != "NOCOMPRESS") {
        return fail(Error::non_standard(
            "lossless float compression requires ZCMPTYPE=GZIP_1, GZIP_2 or NOCOMPRESS, got " +
            std::string(cmptype)));
    }
    if (cmptype == "GZIP_1") {
        c.kind = Compression::Kind::Gzip1;
    } else if (cmptype == "GZIP_2") {
        c.kind = Compression::Kind::Gzip2;
    } else if (cmptype == "NOCOMPRESS") {
        c.kind = Compression::Kind::None;
    } else if (cmptype == "RICE_1" || cmptype == "RICE_ONE") {
        c.kind = Compression::Kind::Rice1;
        VEXLO_ASSIGN_OR_RETURN(c.blocksize, read_rice_params(h, effective));
    } else if (cmptype == "PLIO_1") {
        if (effective == Bitpix::I64) {
            return fail(Error::non_standard(
                "PLIO_1 only supports 8/16/32-bit integer images, got effective BITPIX=64"));
        }
        c.kind = Compression::Kind::Plio1;
    } else if (cmptype == "HCOMPRESS_1") {
        if (znaxis < 2) {
            return fail(Error::non_standard("HCOMPRESS_1 requires a 2-D image, got ZNAXIS=" +
                                            std::to_string(znaxis)));
        }
        if (!tiles_are_planes(axes, tile)) {
            return fail(
                Error::non_standard("HCOMPRESS_1 tiles must be longer than 1 on at most two axes"));
        }
        VEXLO_ASSIGN_OR_RETURN(c, read_hcompress_params(h));
    } else {
        return fail(Error::non_standard(
            "tile compression algorithm `" + std::string(cmptype) +
            "` is not supported (this build supports GZIP_1, GZIP_2, RICE_1, PLIO_1, "
            "HCOMPRESS_1 and NOCOMPRESS)"));
    }

    CompressedImageHdu rec;
    rec.bitpix = bitpix;
    rec.axes = std::move(axes);
    rec.tile = std::move(tile);
    rec.cmptype = c;
    rec.internal_bp = static_cast<std::size_t>(bytes_per_pixel(effective));
    rec.quantize = quantize;
    rec.inner = std::move(table);
    return rec;
}

}  // namespace vexlo
