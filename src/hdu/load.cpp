#include "hdu/load.hpp"

#include <string>

#include "hdu/table_columns.hpp"
#include "hdu/tile_params.hpp"

namespace vexlo {

namespace {

// The XTENSION text, or none when the card is missing, has no value or a non-string one.
std::optional<std::string> xtension_of(const Header& h) {
    const std::optional<CardView> card = h.get("XTENSION");
    if (!card) return std::nullopt;
    std::optional<ValueAndComment> vc = card->value_and_comment();
    if (!vc || !vc->value.is(Value::Kind::String)) return std::nullopt;
    return std::move(vc->value.text);
}

template <class T>
Result<Hdu> wrap(Result<T> r) {
    if (!r) return fail(std::move(r).error());
    return Hdu{std::move(*r)};
}

// A table record over its data section, owned or borrowed.
template <class Table>
Result<Table> table_over(Header h, DataBuf data) {
    if (data.is_owned()) return Table::create(std::move(h), std::move(data).into_bytes());
    return Table::create_borrowed(std::move(h), data.span());
}

Result<Hdu> load_bintable(Header h, DataBuf data) {
    const bool candidate = declares_zimage(h);
    VEXLO_ASSIGN_OR_RETURN(BinTableHdu table,
                           table_over<BinTableHdu>(std::move(h), std::move(data)));
    if (candidate) {
        // A refusal leaves the table with us: it is then a plain binary table.
        Result<CompressedImageHdu> ci = CompressedImageHdu::from_bintable(std::move(table));
        if (ci) return Hdu{std::move(*ci)};
    }
    return Hdu{std::move(table)};
}

}  // namespace

bool is_image_hdu(const Header& h, std::size_t index) {
    if (index == 0) return !h.is_random_groups();
    const std::optional<std::string> xtension = xtension_of(h);
    return xtension && *xtension == "IMAGE";
}

bool may_be_tile_compressed(const Header& h, std::size_t index) {
    if (index == 0 || !declares_zimage(h)) return false;
    const std::optional<std::string> xtension = xtension_of(h);
    return xtension && *xtension == "BINTABLE";
}

TableKind table_kind(const Header& h, std::size_t index) {
    if (index == 0) return TableKind::None;
    const std::optional<std::string> xtension = xtension_of(h);
    if (!xtension) return TableKind::None;
    if (*xtension == "TABLE") return TableKind::Ascii;
    if (*xtension == "BINTABLE" && !declares_zimage(h)) return TableKind::Binary;
    return TableKind::None;
}

namespace {

// The typed record of HDU `index` with this header over its data section.
Result<Hdu> hdu_over(Header h, std::size_t index, DataBuf data) {
    if (is_image_hdu(h, index)) return wrap(ImageHdu::create(std::move(h), std::move(data)));
    if (index == 0) return wrap(RandomGroupsHdu::create(std::move(h), std::move(data)));
    std::optional<std::string> xtension = xtension_of(h);
    if (!xtension) return fail(Error::missing_mandatory("XTENSION"));
    if (*xtension == "TABLE") return wrap(table_over<AsciiTableHdu>(std::move(h), std::move(data)));
    if (*xtension == "BINTABLE") return load_bintable(std::move(h), std::move(data));
    return Hdu{ConformingHdu{std::move(h), std::move(data), std::move(*xtension)}};
}

}  // namespace

Result<Hdu> load_hdu(const FitsFile& file, std::size_t index) {
    VEXLO_ASSIGN_OR_RETURN(Header h, file.header(index));
    VEXLO_ASSIGN_OR_RETURN(const ByteSpan data, file.data_bytes(index));
    return hdu_over(std::move(h), index, DataBuf::borrowed(data));
}

Result<std::optional<BinTableHdu>> load_unread_bintable(const FitsFile& file, std::size_t index,
                                                        Header h) {
    if (index >= file.len()) return fail(hdu_index_error(index, file.len()));
    if (table_kind(h, index) != TableKind::Binary) return std::optional<BinTableHdu>();
    VEXLO_ASSIGN_OR_RETURN(BinTableHdu table,
                           BinTableHdu::create_unread(std::move(h), file.spans[index].data_len));
    if (bin_columns_can_fail(table)) return std::optional<BinTableHdu>();
    return std::optional<BinTableHdu>(std::move(table));
}

Result<void> check_loads(const Header& h, std::size_t index, ByteSpan data) {
    VEXLO_TRY(hdu_over(h, index, DataBuf::borrowed(data)));
    return {};
}

Result<Hdu> load_hdu_owned(const FitsFile& file, std::size_t index) {
    VEXLO_ASSIGN_OR_RETURN(Header h, file.header(index));
    VEXLO_ASSIGN_OR_RETURN(Bytes data, file.read_data(index));
    return hdu_over(std::move(h), index, DataBuf::owned(std::move(data)));
}

Result<Hdu> load_image_hdu(const FitsFile& file, std::size_t index) {
    VEXLO_ASSIGN_OR_RETURN(Hdu hdu, load_hdu(file, index));
    if (hdu.kind() == Hdu::Kind::Image || hdu.kind() == Hdu::Kind::CompressedImage) return hdu;
    if (auto* table = std::get_if<BinTableHdu>(&hdu.value)) {
        const std::optional<std::string> xt = xtension_of(table->header);
        if (index > 0 && xt && *xt == "BINTABLE" && declares_zimage(table->header)) {
            // The Z keywords did not describe an image when loaded: say why.
            VEXLO_ASSIGN_OR_RETURN(CompressedImageHdu ci,
                                   CompressedImageHdu::from_bintable(std::move(*table)));
            return Hdu{std::move(ci)};
        }
    }
    return fail(Error::hdu_mismatch("IMAGE or compressed-IMAGE", hdu.debug_prefix(64)));
}

std::optional<std::string> lookup_extname(const Header& h) {
    const std::optional<Value> v = h.get_value("EXTNAME");
    if (!v || !(v->is(Value::Kind::String) || v->is(Value::Kind::Unparsed))) return std::nullopt;
    return v->text;
}

std::int64_t lookup_extver(const Header& h) {
    const std::optional<Value> v = h.get_value("EXTVER");
    if (!v) return 1;
    if (v->is(Value::Kind::Integer)) return v->integer;
    if (v->is(Value::Kind::Logical)) return v->logical ? 1 : 0;
    return 1;
}

bool matches_extname(const Header& h, std::string_view name, std::optional<std::int64_t> ver) {
    const std::optional<std::string> found = lookup_extname(h);
    if (!found || *found != name) return false;
    return !ver || lookup_extver(h) == *ver;
}

Result<Hdu> hdu_by_extname(const FitsFile& file, std::string_view name,
                           std::optional<std::int64_t> extver) {
    const auto it = file.extnames.find(name);
    const auto not_found = [&] {
        std::string msg = "no HDU with EXTNAME = `" + std::string(name) + "`";
        if (extver) msg += " and EXTVER = " + std::to_string(*extver);
        return fail(Error::header(std::move(msg)));
    };
    if (it == file.extnames.end() || it->second.empty()) return not_found();
    if (!extver) return load_hdu(file, it->second.front());
    for (const std::size_t index : it->second) {
        VEXLO_ASSIGN_OR_RETURN(const Header h, file.header(index));
        std::int64_t v = 1;
        if (const std::optional<Value> ev = h.get_value("EXTVER");
            ev && ev->is(Value::Kind::Integer)) {
            v = ev->integer;
        }
        if (v == *extver) return load_hdu(file, index);
    }
    return not_found();
}

}  // namespace vexlo
