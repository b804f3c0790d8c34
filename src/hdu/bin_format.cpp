#include "hdu/bin_format.hpp"

#include <cmath>
#include <string>
#include <type_traits>

#include "util/checked.hpp"
#include "util/number.hpp"
#include "util/text.hpp"

namespace vexlo {

Result<BinKind> bin_kind_from_letter(char32_t c) {
    if (c >= U'a' && c <= U'z') c = c - U'a' + U'A';
    for (std::size_t k = 0; k < kBinKinds.size(); ++k) {
        if (c == static_cast<char32_t>(kBinKinds[k].letter)) return static_cast<BinKind>(k);
    }
    std::string shown;
    append_utf8(shown, c);
    return fail(Error::value("TFORM", "unknown BINTABLE type code `" + shown + "`"));
}

Error not_numeric_kind(BinKind kind) {
    return Error::data("TFORM type code `" + std::string(1, bin_kind_letter(kind)) +
                       "` is not a plain number");
}

Error unknown_vla_element(VlaElement e) {
    return Error::data("variable-length row element code " +
                       std::to_string(static_cast<unsigned>(e)) + " names no element type");
}

IntStorage classify_int_storage(BinKind kind, double tscal, double tzero) {
    if (tscal == 1.0 && tzero == 0.0) return IntStorage::RawSigned;
    constexpr double kEps = 0x1p-52;
    if (!(std::fabs(tscal - 1.0) <= kEps) || !is_integer_kind(kind)) return IntStorage::Scaled;
    return visit_bin_kind(kind,
                          [&](auto tag) {
                              using T = typename decltype(tag)::type;
                              if constexpr (std::is_floating_point_v<T>) {
                                  return IntStorage::Scaled;
                              } else {
                                  constexpr double offset = *PixelTraits<T>::kOffset;
                                  if (!(std::fabs(tzero - offset) <= std::fabs(offset) * kEps))
                                      return IntStorage::Scaled;
                                  // Bytes are stored unsigned, so their offset reads them signed.
                                  return std::is_unsigned_v<T> ? IntStorage::SignedFromByte
                                                               : IntStorage::Unsigned;
                              }
                          })
        // Only integer kinds reach the visit; any other is scaled, as above.
        .value_or(IntStorage::Scaled);
}

Result<BinFormat> BinFormat::parse(std::string_view tform) {
    auto fail = [&](std::string msg) -> Result<BinFormat> {
        return vexlo::fail(Error::value("TFORM", std::move(msg)));
    };
    const std::string quoted = "`" + std::string(tform) + "`";
    const std::string_view t = trim_ws(tform);
    if (t.empty()) return fail("empty TFORM");
    std::size_t digits = 0;
    while (digits < t.size() && t[digits] >= '0' && t[digits] <= '9')
        ++digits;
    BinFormat f;
    if (digits > 0) {
        auto r = parse_uint64(t.substr(0, digits));
        if (!r) return fail("invalid repeat in " + quoted);
        f.repeat = *r;
    }
    if (digits == t.size()) return fail("missing type code in " + quoted);
    const auto [code, code_len] = first_code_point(t.substr(digits));
    VEXLO_ASSIGN_OR_RETURN(f.kind, bin_kind_from_letter(code));
    if (f.kind != BinKind::P && f.kind != BinKind::Q) return f;

    if (f.repeat > 1) return fail(quoted + " VLA descriptor repeat must be 0 or 1");
    std::string_view rest = t.substr(digits + code_len);
    if (rest.empty()) return fail(quoted + " missing VLA inner type");
    const auto [inner, inner_len] = first_code_point(rest);
    VEXLO_ASSIGN_OR_RETURN(f.vla_kind, bin_kind_from_letter(inner));
    rest.remove_prefix(inner_len);
    if (!rest.empty() && rest.front() == '(') {
        const std::size_t close = rest.find(')');
        if (close == std::string_view::npos) return fail(quoted + " missing closing `)`");
        auto max = parse_uint64(trim_ws(rest.substr(1, close - 1)));
        if (!max) return fail("invalid VLA maxlen in " + quoted);
        f.vla_max = *max;
    }
    return f;
}

Result<std::uint64_t> parse_tdim_dim(std::string_view piece, std::string_view keyword) {
    auto v = parse_uint64(trim_ws(piece));
    if (!v) {
        return std::unexpected(
            Error::value(std::string(keyword), "invalid TDIM dim `" + std::string(piece) + "`"));
    }
    return *v;
}

Result<std::optional<std::vector<std::uint64_t>>> read_tdim(const Header& header, std::uint64_t n) {
    using Out = std::optional<std::vector<std::uint64_t>>;
    const std::string key = indexed_keyword("TDIM", n);
    auto card = header.get(key);
    if (!card) return Out{};
    auto vc = card->value_and_comment();
    if (!vc || !vc->value.is(Value::Kind::String)) return Out{};
    const std::string& raw = vc->value.text;
    const std::string_view t = trim_ws(raw);
    if (t.size() < 2 || t.front() != '(' || t.back() != ')') {
        return fail(Error::value(key, "TDIM must be `(d1,d2,...)`, got `" + raw + "`"));
    }
    std::string_view inside = t.substr(1, t.size() - 2);
    std::vector<std::uint64_t> dims;
    while (true) {
        const std::size_t comma = inside.find(',');
        VEXLO_ASSIGN_OR_RETURN(std::uint64_t d, parse_tdim_dim(inside.substr(0, comma), key));
        dims.push_back(d);
        if (comma == std::string_view::npos) break;
        inside.remove_prefix(comma + 1);
    }
    return Out{std::move(dims)};
}

std::optional<std::uint64_t> tdim_cell_count(const std::optional<std::vector<std::uint64_t>>& tdim,
                                             std::uint64_t n) {
    if (!tdim || tdim->empty()) return std::nullopt;
    std::uint64_t product = 1;
    for (const std::uint64_t d : *tdim) {
        const std::optional<std::uint64_t> next = checked_mul(product, d);
        if (!next) return std::nullopt;
        product = *next;
    }
    if (product > n) return std::nullopt;
    return product;
}

std::optional<std::uint64_t> tdim_text_count(const std::optional<std::vector<std::uint64_t>>& tdim,
                                             std::uint64_t bytes) {
    if (!tdim || tdim->size() < 2 || (*tdim)[0] == 0) return std::nullopt;
    return tdim_cell_count(tdim, bytes);
}

}  // namespace vexlo
