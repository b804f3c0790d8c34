// Typed HDUs from a scanned file: header parsing, kind selection and lookup by name.
#include <string>

#include "hdu/hdu.hpp"
#include "io/file.hpp"

namespace vexlo {

namespace {

std::unexpected<Error> fail(Error e) {
    return std::unexpected(std::move(e));
}

Error index_error(std::size_t index, std::size_t len) {
    return Error::header("HDU index " + std::to_string(index) +
                         " out of range (len = " + std::to_string(len) + ")");
}

// The XTENSION text, or none when the card is missing, has no value or a non-string one.
std::optional<std::string> xtension_of(const Header& h) {
    const std::optional<CardView> card = h.get("XTENSION");
    if (!card) return std::nullopt;
    std::optional<ValueAndComment> vc = card->value_and_comment();
    if (!vc || !vc->value.is(Value::Kind::String)) return std::nullopt;
    return std::move(vc->value.text);
}

bool zimage_true(const Header& h) {
    const std::optional<Value> v = h.get_value("ZIMAGE");
    return v && v->is(Value::Kind::Logical) && v->logical;
}

template <class T>
Result<Hdu> wrap(Result<T> r) {
    if (!r) return fail(std::move(r).error());
    return Hdu{std::move(*r)};
}

Result<Hdu> load_bintable(Header h, ByteSpan data) {
    const bool candidate = zimage_true(h);
    VEXLO_ASSIGN_OR_RETURN(BinTableHdu table, BinTableHdu::create_borrowed(std::move(h), data));
    if (candidate) {
        // A refusal leaves the table with us: it is then a plain binary table.
        Result<CompressedImageHdu> ci = CompressedImageHdu::from_bintable(std::move(table));
        if (ci) return Hdu{std::move(*ci)};
    }
    return Hdu{std::move(table)};
}

}  // namespace

std::string_view Hdu::kind_name() const {
    switch (kind()) {
        case Kind::Image:
            return "Image";
        case Kind::RandomGroups:
            return "RandomGroups";
        case Kind::AsciiTable:
            return "AsciiTable";
        case Kind::BinTable:
            return "BinTable";
        case Kind::CompressedImage:
            return "CompressedImage";
        case Kind::Conforming:
            return "Conforming";
    }
    return "";
}

const Header& Hdu::header() const {
    return std::visit(
        [](const auto& rec) -> const Header& {
            if constexpr (requires { rec.header; }) {
                return rec.header;
            } else {
                return rec.inner.header;
            }
        },
        value);
}

std::string Hdu::debug_prefix(std::size_t max_chars) const {
    static constexpr std::string_view kTypeNames[] = {
        "ImageHdu",    "RandomGroupsHdu",    "AsciiTableHdu",
        "BinTableHdu", "CompressedImageHdu", "ConformingHdu",
    };
    std::string out(kind_name());
    out += "(";
    out += kTypeNames[value.index()];
    out += " { ";
    if (kind() == Kind::CompressedImage) out += "inner: BinTableHdu { ";
    out += "header: Header { bytes: [";
    bool first = true;
    for (const std::uint8_t b : header().bytes()) {
        if (out.size() >= max_chars) break;
        if (!first) out += ", ";
        out += std::to_string(b);
        first = false;
    }
    if (out.size() < max_chars) out += "] } ... }";
    if (out.size() > max_chars) out.resize(max_chars);
    return out;
}

Result<Header> FitsFile::header(std::size_t index) const {
    if (index >= spans.size()) return fail(index_error(index, spans.size()));
    VEXLO_ASSIGN_OR_RETURN(auto parsed, Header::parse(headers[index], 0, lenient));
    return std::move(parsed.first);
}

Result<Hdu> FitsFile::load_hdu(std::size_t index) const {
    VEXLO_ASSIGN_OR_RETURN(Header h, header(index));
    VEXLO_ASSIGN_OR_RETURN(const ByteSpan data, data_bytes(index));
    if (index == 0) {
        if (h.is_random_groups()) {
            return wrap(RandomGroupsHdu::create(std::move(h), DataBuf::borrowed(data)));
        }
        return wrap(ImageHdu::create_borrowed(std::move(h), data));
    }
    std::optional<std::string> xtension = xtension_of(h);
    if (!xtension) return fail(Error::missing_mandatory("XTENSION"));
    if (*xtension == "IMAGE") return wrap(ImageHdu::create_borrowed(std::move(h), data));
    if (*xtension == "TABLE") return wrap(AsciiTableHdu::create_borrowed(std::move(h), data));
    if (*xtension == "BINTABLE") return load_bintable(std::move(h), data);
    return Hdu{ConformingHdu{std::move(h), DataBuf::borrowed(data), std::move(*xtension)}};
}

Result<ImageHdu> FitsFile::load_image(std::size_t index) const {
    VEXLO_ASSIGN_OR_RETURN(Hdu hdu, load_hdu(index));
    if (auto* img = std::get_if<ImageHdu>(&hdu.value)) return std::move(*img);
    if (const auto* ci = std::get_if<CompressedImageHdu>(&hdu.value)) return ci->decompress();
    if (auto* table = std::get_if<BinTableHdu>(&hdu.value)) {
        const std::optional<std::string> xt = xtension_of(table->header);
        if (index > 0 && xt && *xt == "BINTABLE" && zimage_true(table->header)) {
            VEXLO_ASSIGN_OR_RETURN(const CompressedImageHdu ci,
                                   CompressedImageHdu::from_bintable(std::move(*table)));
            return ci.decompress();
        }
    }
    return fail(Error::hdu_mismatch("IMAGE or compressed-IMAGE", hdu.debug_prefix(64)));
}

Result<Hdu> FitsFile::hdu_by_extname(std::string_view name,
                                     std::optional<std::int64_t> extver) const {
    const auto it = extnames.find(name);
    const auto not_found = [&] {
        std::string msg = "no HDU with EXTNAME = `" + std::string(name) + "`";
        if (extver) msg += " and EXTVER = " + std::to_string(*extver);
        return fail(Error::header(std::move(msg)));
    };
    if (it == extnames.end() || it->second.empty()) return not_found();
    if (!extver) return load_hdu(it->second.front());
    for (const std::size_t index : it->second) {
        VEXLO_ASSIGN_OR_RETURN(const Header h, header(index));
        std::int64_t v = 1;
        if (const std::optional<Value> ev = h.get_value("EXTVER");
            ev && ev->is(Value::Kind::Integer)) {
            v = ev->integer;
        }
        if (v == *extver) return load_hdu(index);
    }
    return not_found();
}

}  // namespace vexlo
