// repr() of a table: a title with the EXTNAME and the shape, then the first columns' names,
// kinds and first rows in aligned text columns, built from those rows only.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "python/table_state.hpp"
#include "util/text.hpp"

namespace vexlo::py {

namespace {

constexpr std::size_t kShownColumns = 6;
constexpr std::uint64_t kShownRows = 5;
constexpr std::size_t kCellChars = 12;
constexpr std::string_view kEllipsis = "\u2026";

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};

// The first `n` code points of UTF-8 text.
std::string_view first_chars(std::string_view text, std::size_t n) {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!is_utf8_continuation(text[i])) {
            if (seen == n) return text.substr(0, i);
            ++seen;
        }
    }
    return text;
}

// At most 12 characters, then the ellipsis.
std::string shortened(std::string_view text) {
    if (code_point_count(text) <= kCellChars) return std::string(text);
    std::string out(first_chars(text, kCellChars));
    out += kEllipsis;
    return out;
}

// Padding counts characters while widths count bytes, so multi-byte text ends up wider than
// its column but the columns stay aligned.
std::string pad(std::string_view text, std::size_t width, bool left_aligned) {
    const std::size_t chars = code_point_count(text);
    const std::string fill(chars < width ? width - chars : 0, ' ');
    return left_aligned ? std::string(text) + fill : fill + std::string(text);
}

std::optional<std::string> table_extname(const TableState& table) {
    std::optional<std::string> value;
    {
        auto lock = lock_header(*table.header.record);
        value = table.header.record->header.get_str("EXTNAME");
    }
    if (!value) return std::nullopt;
    const std::string_view trimmed = trim_ws(*value);
    if (trimmed.empty()) return std::nullopt;
    return std::string(trimmed);
}

// "e+06" -> "e6", "e-04" -> "e-4".
std::string tidy_exponent(std::string_view text) {
    const std::size_t e = text.find('e');
    if (e == std::string_view::npos) return std::string(text);
    std::string out(text.substr(0, e + 1));
    std::string_view exp = text.substr(e + 1);
    if (!exp.empty() && (exp[0] == '+' || exp[0] == '-')) {
        if (exp[0] == '-') out += '-';
        exp.remove_prefix(1);
    }
    while (exp.size() > 1 && exp[0] == '0')
        exp.remove_prefix(1);
    out += exp;
    return out;
}

std::string repr_float_text(double x) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
    char buf[400];
    const double a = std::fabs(x);
    if (a == 0.0 || (a >= 0.001 && a < 1000000.0)) {
        const auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, 6);
        std::string text(buf, r.ptr);
        while (!text.empty() && text.back() == '0')
            text.pop_back();
        if (!text.empty() && text.back() == '.') text.pop_back();
        return text;
    }
    const auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific, 4);
    return tidy_exponent(std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)));
}

// The element count, or the TDIMn dimensions joined by "×" when there are two or more and
// their product is the count.
std::string repr_dims_text(const std::vector<std::uint64_t>* dims, std::uint64_t count) {
    if (dims != nullptr && dims->size() > 1) {
        std::uint64_t product = 1;
        bool overflow = false;
        for (std::uint64_t d : *dims) {
            if (d != 0 && product > UINT64_MAX / d) overflow = true;
            product *= d;
        }
        if (!overflow && product == count) {
            std::string out;
            for (std::size_t i = 0; i < dims->size(); ++i) {
                if (i != 0) out += "\u00d7";
                out += std::to_string((*dims)[i]);
            }
            return out;
        }
    }
    return std::to_string(count);
}

std::string vector_text(std::string_view label, const std::vector<std::uint64_t>* dims,
                        std::size_t count) {
    return std::string(label) + "[" + repr_dims_text(dims, count) + "]";
}

std::string repr_cell_text(const BinValue& cell, const std::vector<std::uint64_t>* dims) {
    return std::visit(
        Overloaded{
            [&](const BinValue::Logical& v) { return vector_text("bool", dims, v.values.size()); },
            [&](const BinValue::Bits& v) { return "bits[" + std::to_string(v.n_bits) + "]"; },
            [&](const BinValue::Int& v) { return vector_text("i64", dims, v.values.size()); },
            [&](const BinValue::Uint& v) { return vector_text("u64", dims, v.values.size()); },
            [&](const BinValue::Float& v) { return vector_text("f64", dims, v.values.size()); },
            [&](const BinValue::F64& v) { return vector_text("f64", dims, v.values.size()); },
            [&](const BinValue::F32& v) { return vector_text("f32", dims, v.values.size()); },
            [&](const BinValue::C64& v) { return vector_text("c64", dims, v.values.size()); },
            [&](const BinValue::C128& v) { return vector_text("c128", dims, v.values.size()); },
            [&](const BinValue::Str& v) { return "\"" + shortened(v.value) + "\""; },
            [&](const BinValue::StrArray& v) {
                std::optional<std::vector<std::uint64_t>> rest;
                if (dims != nullptr && !dims->empty()) rest.emplace(dims->begin() + 1, dims->end());
                return vector_text("str", rest ? &*rest : nullptr, v.values.size());
            },
            [&](const BinValue::Vla& v) {
                return "vla<" + repr_cell_text(*v.inner, nullptr) + ">";
            },
        },
        cell.value);
}

std::string_view column_label(const DecodedColumn& column) {
    return std::visit(Overloaded{
                          [](const Float64Values&) { return std::string_view("float64"); },
                          [](const IntValues&) { return std::string_view("int64"); },
                          [](const Strings&) { return std::string_view("str"); },
                          [](const Logicals&) { return std::string_view("bool"); },
                          [](const PerRow&) { return std::string_view("object"); },
                      },
                      column);
}

std::string cell_text(const DecodedColumn& column, std::size_t row) {
    return std::visit(Overloaded{
                          [&](const Float64Values& c) { return repr_float_text(c.values[row]); },
                          [&](const IntValues& c) {
                              if (!c.nulls.empty() && c.nulls[row] != 0) return std::string("--");
                              return std::to_string(c.values[row]);
                          },
                          [&](const Strings& c) { return shortened(trim_ws(c.at(row))); },
                          [&](const Logicals& c) {
                              const std::uint8_t v = c.values[row];
                              return std::string(v == 2 ? "--" : v == 1 ? "True" : "False");
                          },
                          [&](const PerRow& c) {
                              return repr_cell_text(c.cell(row), c.tdim ? &*c.tdim : nullptr);
                          },
                      },
                      column);
}

struct ShownColumn {
    std::string_view name;
    std::string_view label;
    std::vector<std::string> cells;
    bool left_aligned = false;
    std::size_t width = 0;
};

}  // namespace

std::string table_repr(const TableState& table) {
    const std::size_t c = table.column_names.size();
    const std::uint64_t n = table.n_rows;
    const std::string_view word = table.kind == TableKind::Binary ? "BinTable" : "AsciiTable";
    const std::string shape = std::to_string(n) + " rows \u00d7 " + std::to_string(c) + " cols)";
    const std::optional<std::string> extname = table_extname(table);
    std::string out(word);
    out += extname ? "(\"" + *extname + "\", " + shape : "(" + shape;
    if (c == 0 || n == 0) return out;

    const std::size_t shown_rows = static_cast<std::size_t>(std::min(n, kShownRows));
    std::vector<ShownColumn> shown;
    for (std::size_t i = 0; i < std::min(c, kShownColumns); ++i) {
        ShownColumn col;
        col.name = table.column_names[i];
        const DecodedColumn rows = column_rows(table, i, 0, shown_rows);
        col.label = column_label(rows);
        col.left_aligned = std::holds_alternative<Strings>(rows);
        col.width = std::max(col.name.size(), col.label.size());
        for (std::size_t r = 0; r < shown_rows; ++r) {
            col.cells.push_back(cell_text(rows, r));
            col.width = std::max(col.width, col.cells.back().size());
        }
        shown.push_back(std::move(col));
    }

    auto line = [&](auto&& piece) {
        out += "\n  ";
        for (std::size_t i = 0; i < shown.size(); ++i) {
            if (i != 0) out += "  ";
            out += piece(shown[i]);
        }
    };
    line([](const ShownColumn& s) { return pad(s.name, s.width, true); });
    if (c > kShownColumns) {
        out += "  ";
        out += kEllipsis;
        out += " +" + std::to_string(c - kShownColumns) + " more cols";
    }
    line([](const ShownColumn& s) { return pad(s.label, s.width, true); });
    for (std::size_t r = 0; r < shown_rows; ++r) {
        line([r](const ShownColumn& s) { return pad(s.cells[r], s.width, s.left_aligned); });
    }
    if (n > kShownRows) {
        out += "\n  ";
        out += kEllipsis;
        out += " " + std::to_string(n - kShownRows) + " more rows";
    }
    return out;
}

}  // namespace vexlo::py
