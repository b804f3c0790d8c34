#include "hdu/table_columns.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>

#include "hdu/column_kernels.hpp"
#include "util/checked.hpp"
#include "util/parallel.hpp"
#include "util/try.hpp"

namespace vexlo {

namespace {

// Rows per block of the passes that go through a scratch buffer: the block stays in cache
// between the decoding and the copy.
constexpr std::uint64_t kBlockRows = 4096;

// How many row ranges a whole-table pass over `rows` rows is split into, one per core for
// large tables.
std::size_t row_parts(std::uint64_t rows) {
    constexpr std::uint64_t kMinRowsPerPart = 16 * kBlockRows;
    return parts_for(static_cast<std::size_t>(std::min<std::uint64_t>(rows, SIZE_MAX)),
                     kMinRowsPerPart);
}

// Room for `n` entries, or bad_alloc when the count cannot be held (a row count that no
// byte of the file backs, for columns zero bytes wide).
template <class T>
void reserve_rows(std::vector<T>& v, std::uint64_t n) {
    try {
        v.reserve(static_cast<std::size_t>(n));
    } catch (const std::length_error&) {
        throw std::bad_alloc();
    }
}

// Whether TDIMn splits an A field into several strings, as the cell decoder does.
bool splits_text(const BinColumn& c) {
    return tdim_text_count(c.tdim, c.width()).has_value();
}

// The form of a scalar numeric column (one element per row); none for other columns.
std::optional<ColumnForm> scalar_form(const BinColumn& c) {
    if (c.format.repeat != 1) return std::nullopt;
    const Result<ColumnElement> element = BinTableHdu::column_element(c);
    if (!element) return std::nullopt;
    switch (*element) {
        case ColumnElement::Bool:
            return ColumnForm::Logicals;
        case ColumnElement::I64:
            return ColumnForm::Int;
        case ColumnElement::F64:
        case ColumnElement::F32:
            return ColumnForm::Float64;
        case ColumnElement::U64:
        case ColumnElement::C64:
        case ColumnElement::C128:
            break;
    }
    return std::nullopt;
}

bool can_fail(BinKind kind) {
    return bin_kind_facts(kind).checked;
}

Error out_of_memory(const BinColumn& c) {
    return Error::out_of_memory(
        Error::data("BINTABLE col " + std::to_string(c.index) + ": out of memory decoding a cell"));
}

// Runs `decode`, turning a failed allocation into the error the cell decoder gives.
template <class F>
auto guarded(const BinColumn& c, F decode) -> decltype(decode()) {
    try {
        return decode();
    } catch (const std::bad_alloc&) {
        return std::unexpected(out_of_memory(c));
    }
}

Result<PerRow> per_row_cells(const BinTableHdu& t, const BinColumn& c, std::uint64_t first,
                             std::uint64_t n) {
    PerRow out;
    out.tdim = c.tdim;
    reserve_rows(out.cells, n);
    for (std::uint64_t r = first; r < first + n; ++r) {
        VEXLO_ASSIGN_OR_RETURN(BinValue v, t.read_cell(r, c));
        out.cells.push_back(std::move(v));
    }
    return out;
}

}  // namespace

ColumnForm bin_column_form(const BinTableHdu& table, const BinColumn& column) {
    if (table.n_rows == 0) return ColumnForm::PerRow;
    if (const std::optional<ColumnForm> form = scalar_form(column)) return *form;
    if (column.format.kind == BinKind::Char && !splits_text(column)) return ColumnForm::Strings;
    return ColumnForm::PerRow;
}

bool is_uniform_column(const BinTableHdu& table, const BinColumn& column) {
    return table.n_rows > 0 && column.width() == 0;
}

Result<void> check_bin_column(const BinTableHdu& table, const BinColumn& column) {
    if (!can_fail(column.format.kind)) return {};
    // A field of width 0 reads alike in every row.
    return table.check_rows(column, 0, is_uniform_column(table, column) ? 1 : table.n_rows);
}

Result<void> check_bin_columns(const BinTableHdu& table) {
    // Large tables are checked in row ranges over the cores: part c * parts + k checks range
    // k of column c, so that the first failing part is the first failing range of the first
    // failing column, as one pass column after column would report. A column that is not
    // checked in ranges is checked whole by its first part.
    const std::size_t n_columns = table.columns.size();
    const std::size_t parts = row_parts(table.n_rows);
    return run_parts(n_columns * parts, parts, [&](std::size_t i) -> Result<void> {
        const BinColumn& column = table.columns[i / parts];
        const std::size_t k = i % parts;
        if (parts == 1 || !can_fail(column.format.kind) || is_uniform_column(table, column)) {
            return k == 0 ? check_bin_column(table, column) : Result<void>();
        }
        const PartRange rows = part_range(k, parts, table.n_rows);
        return table.check_rows(column, rows.first, rows.count);
    });
}

bool bin_columns_can_fail(const BinTableHdu& table) {
    return std::any_of(table.columns.begin(), table.columns.end(),
                       [](const BinColumn& c) { return can_fail(c.format.kind); });
}

namespace {

// The first row's field of rows [first, first + n) of a column with a scalar kernel, once the
// rows are checked to lie in the table and the field in a row (the checks read_column makes).
Result<const std::uint8_t*> scalar_fields(const BinTableHdu& table, const BinColumn& column,
                                          std::uint64_t first, std::uint64_t n) {
    VEXLO_TRY(table.check_row_range(first, n));
    VEXLO_TRY(table.check_field(column));
    VEXLO_ASSIGN_OR_RETURN(const ByteSpan rows, table.data_section());
    return rows.data() + first * table.row_size + column.offset;
}

}  // namespace

Result<void> decode_float64_rows(const BinTableHdu& table, const BinColumn& column,
                                 std::uint64_t first, std::span<double> out) {
    if (has_scalar_kernel(column)) {
        VEXLO_ASSIGN_OR_RETURN(const std::uint8_t* fields,
                               scalar_fields(table, column, first, out.size()));
        VEXLO_TRY(decode_scalar_rows(column, fields, table.row_size, out, {}));
        return {};
    }
    // Every column of form Float64 has a kernel; any other reads as read_column reads it.
    VEXLO_TRY(table.read_column(column, first, out.size(), out, {}));
    return {};
}

Result<std::uint64_t> decode_int_rows(const BinTableHdu& table, const BinColumn& column,
                                      std::uint64_t first, std::span<std::int64_t> out,
                                      std::span<std::uint8_t> nulls) {
    // The int64 kernel gives stored integers: a scaled column reads only into doubles.
    VEXLO_TRY(BinTableHdu::check_column_element(column, ColumnElement::I64));
    if (has_scalar_kernel(column) && (nulls.empty() || nulls.size() == out.size())) {
        VEXLO_ASSIGN_OR_RETURN(const std::uint8_t* fields,
                               scalar_fields(table, column, first, out.size()));
        return decode_scalar_rows(column, fields, table.row_size, out, nulls);
    }
    return table.read_column(column, first, out.size(), out, nulls);
}

Result<void> decode_logical_rows(const BinTableHdu& table, const BinColumn& column,
                                 std::uint64_t first, std::span<std::uint8_t> out) {
    const auto block = static_cast<std::size_t>(std::min<std::uint64_t>(kBlockRows, out.size()));
    const std::unique_ptr<bool[]> bools(new bool[block]);
    std::vector<std::uint8_t> nulls(block);
    for (std::size_t at = 0; at < out.size(); at += block) {
        const std::size_t n = std::min(block, out.size() - at);
        VEXLO_TRY(table.read_column(column, first + at, n, std::span<bool>(bools.get(), n),
                                    std::span<std::uint8_t>(nulls.data(), n)));
        for (std::size_t i = 0; i < n; ++i)
            out[at + i] = nulls[i] != 0 ? 2 : (bools[i] ? 1 : 0);
    }
    return {};
}

namespace {

// Rows per block of the block-wise pass: the block's bytes stay in cache while every target
// takes its field from them.
std::uint64_t block_rows(std::uint64_t row_size) {
    constexpr std::uint64_t kBlockBytes = 256 * 1024;
    return std::clamp<std::uint64_t>(kBlockBytes / std::max<std::uint64_t>(row_size, 1), 1,
                                     kBlockRows);
}

// Refuses a target the scalar kernels cannot fill: a column of another form, a field that
// does not fit in a row, or buffers of another length than the table's rows.
Result<void> check_target(const BinTableHdu& table, const ColumnTarget& target) {
    const BinColumn& c = *target.column;
    const std::string col = "BINTABLE col " + std::to_string(c.index);
    if (!has_scalar_kernel(c)) {
        return fail(Error::data(col + ": " + std::string(bin_kind_name(c.format.kind)) +
                                " column is no scalar column of numbers"));
    }
    if (!target.ints.empty()) VEXLO_TRY(BinTableHdu::check_column_element(c, ColumnElement::I64));
    VEXLO_TRY(table.check_field(c));
    const std::size_t len = target.floats.empty() ? target.ints.size() : target.floats.size();
    if (len != table.n_rows || (!target.nulls.empty() && target.nulls.size() != len)) {
        return fail(Error::data(col + ": buffer holds " + std::to_string(len) + " rows, need " +
                                std::to_string(table.n_rows)));
    }
    return {};
}

// How a block-wise pass stores its outputs (8 bytes a row each): streaming once together
// they outgrow the last-level cache. Each output is filled once and read only after the pass;
// the pages the kernel has just cleared for a few outputs are still cached when the pass
// writes them, but those of many are gone by then, and each line written would first be read
// back from memory.
OutputStores pass_stores(std::uint64_t rows, std::size_t outputs) {
    constexpr std::uint64_t kStreamFromBytes = std::uint64_t{32} << 20;
    const std::optional<std::uint64_t> bytes = checked_mul(rows, std::uint64_t{8} * outputs);
    return !bytes || *bytes >= kStreamFromBytes ? OutputStores::Streaming : OutputStores::Cached;
}

// Rows [first, last) of every target, block after block; `rows(at, n)` gives the bytes of
// rows [at, at + n) (valid until its next call). The null rows of each target are counted
// into `nulls`.
template <class Rows>
Result<void> decode_rows_blockwise(const BinTableHdu& table, std::span<ColumnTarget> targets,
                                   std::uint64_t first, std::uint64_t last,
                                   std::span<std::uint64_t> nulls, Rows rows) {
    const std::uint64_t block = block_rows(table.row_size);
    const OutputStores stores = pass_stores(table.n_rows, targets.size());
    for (std::uint64_t at = first; at < last; at += block) {
        const auto n = static_cast<std::size_t>(std::min(block, last - at));
        VEXLO_ASSIGN_OR_RETURN(const std::uint8_t* bytes, rows(at, n));
        const auto i = static_cast<std::size_t>(at);
        for (std::size_t t = 0; t < targets.size(); ++t) {
            const ColumnTarget& target = targets[t];
            const std::uint8_t* fields = bytes + target.column->offset;
            const std::span<std::uint8_t> flags =
                target.nulls.empty() ? target.nulls : target.nulls.subspan(i, n);
            if (target.floats.empty()) {
                VEXLO_ASSIGN_OR_RETURN(
                    const std::uint64_t count,
                    decode_scalar_rows(*target.column, fields, table.row_size,
                                       target.ints.subspan(i, n), flags, stores));
                nulls[t] += count;
            } else {
                // A null of a float column is its NaN: it is not counted.
                VEXLO_TRY(decode_scalar_rows(*target.column, fields, table.row_size,
                                             target.floats.subspan(i, n), flags, stores));
            }
        }
    }
    return {};
}

// The block-wise pass, each part with its own source of rows made by `make_rows()`.
template <class MakeRows>
Result<void> run_blockwise(const BinTableHdu& table, std::span<ColumnTarget> targets,
                           MakeRows make_rows) {
    // No rows are walked without a column to fill: a row count alone, which no byte of the
    // file need back, never sets the length of a pass.
    if (targets.empty()) return {};
    for (const ColumnTarget& target : targets)
        VEXLO_TRY(check_target(table, target));
    // Large tables are split into row ranges over the cores: every range writes its own rows
    // of the targets. Of the ranges that fail, the first in row order reports, as one pass in
    // row order would.
    const std::size_t parts = row_parts(table.n_rows);
    std::vector<std::uint64_t> nulls;
    try {
        nulls.assign(parts * targets.size(), 0);
    } catch (const std::bad_alloc&) {
        return fail(Error::out_of_memory());
    }
    VEXLO_TRY(run_ranges(
        parts, table.n_rows,
        [&](std::size_t k, std::uint64_t first, std::uint64_t count) -> Result<void> {
            return decode_rows_blockwise(
                table, targets, first, first + count,
                std::span(nulls).subspan(k * targets.size(), targets.size()), make_rows());
        }));
    for (std::size_t t = 0; t < targets.size(); ++t) {
        targets[t].n_nulls = 0;
        for (std::size_t k = 0; k < parts; ++k)
            targets[t].n_nulls += nulls[k * targets.size() + t];
    }
    return {};
}

}  // namespace

Result<void> decode_columns_blockwise(const BinTableHdu& table, std::span<ColumnTarget> targets) {
    if (targets.empty()) return {};
    VEXLO_ASSIGN_OR_RETURN(const ByteSpan data, table.data_section());
    return decode_columns_blockwise(table, DataSource::of_memory(data), targets);
}

Result<void> decode_columns_blockwise(const BinTableHdu& layout, const DataSource& source,
                                      std::span<ColumnTarget> targets) {
    if (!targets.empty() &&
        source.size() < checked_mul(layout.n_rows, layout.row_size).value_or(UINT64_MAX)) {
        return fail(Error::data("BINTABLE rows escape the table's data"));
    }
    return run_blockwise(layout, targets, [&] {
        // Held rows are decoded where they lie; read ones go through a buffer of each part's
        // own, reused block after block.
        return [&, scratch = Bytes()](std::uint64_t at,
                                      std::size_t n) mutable -> Result<const std::uint8_t*> {
            VEXLO_ASSIGN_OR_RETURN(
                const ByteSpan rows,
                source.block(at * layout.row_size, static_cast<std::size_t>(n * layout.row_size),
                             scratch));
            return rows.data();
        };
    });
}

Result<std::string_view> bin_cell_text(const BinTableHdu& table, const BinColumn& column,
                                       std::uint64_t row) {
    VEXLO_ASSIGN_OR_RETURN(const ByteSpan cell, table.cell_bytes(row, column));
    return cell_text(as_chars(cell));
}

Result<DecodedColumn> decode_bin_rows(const BinTableHdu& table, const BinColumn& column,
                                      std::uint64_t first, std::uint64_t n) {
    // Before the output is sized by n: a count beyond the table is refused, not allocated.
    VEXLO_TRY(table.check_row_range(first, n));
    return guarded(column, [&]() -> Result<DecodedColumn> {
        switch (bin_column_form(table, column)) {
            case ColumnForm::Float64: {
                Float64Values out{std::vector<double>(static_cast<std::size_t>(n))};
                VEXLO_TRY(decode_float64_rows(table, column, first, out.values));
                return DecodedColumn(std::move(out));
            }
            case ColumnForm::Int: {
                IntValues out{std::vector<std::int64_t>(static_cast<std::size_t>(n)),
                              std::vector<std::uint8_t>(static_cast<std::size_t>(n))};
                VEXLO_ASSIGN_OR_RETURN(
                    const std::uint64_t n_nulls,
                    decode_int_rows(table, column, first, out.values, out.nulls));
                // An integer column without nulls keeps no null flags.
                if (n_nulls == 0) std::vector<std::uint8_t>().swap(out.nulls);
                return DecodedColumn(std::move(out));
            }
            case ColumnForm::Logicals: {
                Logicals out{std::vector<std::uint8_t>(static_cast<std::size_t>(n))};
                VEXLO_TRY(decode_logical_rows(table, column, first, out.values));
                return DecodedColumn(std::move(out));
            }
            case ColumnForm::Strings: {
                Strings out;
                reserve_rows(out.values, n);
                for (std::uint64_t r = first; r < first + n; ++r) {
                    VEXLO_ASSIGN_OR_RETURN(const std::string_view text,
                                           bin_cell_text(table, column, r));
                    out.values.emplace_back(text);
                }
                return DecodedColumn(std::move(out));
            }
            case ColumnForm::PerRow:
                break;
        }
        VEXLO_ASSIGN_OR_RETURN(PerRow out, per_row_cells(table, column, first, n));
        return DecodedColumn(std::move(out));
    });
}

namespace {

// The one element of a cell of a Float64 column, as decode_float64_rows gives it.
double scalar_float(const BinValue& v) {
    if (const auto* f = std::get_if<BinValue::F32>(&v.value)) return f->values.at(0);
    if (const auto* f = std::get_if<BinValue::F64>(&v.value)) return f->values.at(0);
    return std::get<BinValue::Float>(v.value).values.at(0);
}

}  // namespace

Result<DecodedColumn> decode_bin_rows_from(const BinTableHdu& table, const BinColumn& column,
                                           ByteSpan rows, std::uint64_t n) {
    const std::uint64_t width = column.width();
    const std::optional<std::uint64_t> size = checked_mul(n, table.row_size);
    if (!size || *size != rows.size() || column.offset > table.row_size ||
        width > table.row_size - column.offset) {
        return fail(Error::data("BINTABLE col " + std::to_string(column.index) + ": " +
                                std::to_string(rows.size()) + " bytes do not hold " +
                                std::to_string(n) + " rows of " + std::to_string(table.row_size) +
                                " bytes"));
    }
    const auto cell = [&](std::uint64_t r) {
        const std::uint64_t at = r * table.row_size + column.offset;
        return column.decode_cell(
            rows.subspan(static_cast<std::size_t>(at), static_cast<std::size_t>(width)),
            ByteSpan{});
    };
    return guarded(column, [&]() -> Result<DecodedColumn> {
        const ColumnForm form = bin_column_form(table, column);
        Float64Values floats;
        IntValues ints;
        Logicals logicals;
        Strings strings;
        PerRow cells{{}, column.tdim, 0};
        std::uint64_t n_nulls = 0;
        for (std::uint64_t r = 0; r < n; ++r) {
            VEXLO_ASSIGN_OR_RETURN(BinValue v, cell(r));
            switch (form) {
                case ColumnForm::Float64:
                    floats.values.push_back(scalar_float(v));
                    break;
                case ColumnForm::Int: {
                    const std::optional<std::int64_t> x =
                        std::get<BinValue::Int>(v.value).values.at(0);
                    ints.values.push_back(x.value_or(0));
                    ints.nulls.push_back(x ? 0 : 1);
                    n_nulls += !x;
                    break;
                }
                case ColumnForm::Logicals: {
                    const std::optional<bool> b = std::get<BinValue::Logical>(v.value).values.at(0);
                    logicals.values.push_back(b ? (*b ? 1 : 0) : 2);
                    break;
                }
                case ColumnForm::Strings:
                    strings.values.push_back(std::move(std::get<BinValue::Str>(v.value).value));
                    break;
                case ColumnForm::PerRow:
                    cells.cells.push_back(std::move(v));
                    break;
            }
        }
        switch (form) {
            case ColumnForm::Float64:
                return DecodedColumn(std::move(floats));
            case ColumnForm::Int:
                // An integer column without nulls keeps no null flags.
                if (n_nulls == 0) std::vector<std::uint8_t>().swap(ints.nulls);
                return DecodedColumn(std::move(ints));
            case ColumnForm::Logicals:
                return DecodedColumn(std::move(logicals));
            case ColumnForm::Strings:
                return DecodedColumn(std::move(strings));
            case ColumnForm::PerRow:
                break;
        }
        return DecodedColumn(std::move(cells));
    });
}

Result<DecodedColumn> decode_bin_column(const BinTableHdu& table, const BinColumn& column) {
    if (table.n_rows == 0) return DecodedColumn(PerRow{{}, column.tdim});
    if (is_uniform_column(table, column)) {
        VEXLO_ASSIGN_OR_RETURN(BinValue first, table.read_cell(0, column));
        if (auto* text = std::get_if<BinValue::Str>(&first.value)) {
            return DecodedColumn(Strings{{std::move(text->value)}, table.n_rows});
        }
        return DecodedColumn(PerRow{{std::move(first)}, column.tdim, table.n_rows});
    }
    return decode_bin_rows(table, column, 0, table.n_rows);
}

namespace {

// Rows [first, first + out.size()) of a numeric ASCII column, NaN for a null.
Result<void> decode_ascii_numbers(const AsciiTableHdu& table, const AsciiColumn& column,
                                  std::uint64_t first, std::span<double> out) {
    for (std::size_t i = 0; i < out.size(); ++i) {
        VEXLO_ASSIGN_OR_RETURN(const std::optional<AsciiValue> v,
                               table.read_cell(first + i, column));
        double x = std::numeric_limits<double>::quiet_NaN();
        if (v && v->kind() == AsciiValue::Kind::Int) {
            x = static_cast<double>(std::get<std::int64_t>(v->value));
        } else if (v && v->kind() == AsciiValue::Kind::Float) {
            x = std::get<double>(v->value);
        }
        out[i] = x;
    }
    return {};
}

// check_ascii_text_column over rows [first, first + n).
Result<void> check_ascii_text_rows(const AsciiTableHdu& table, const AsciiColumn& column,
                                   std::uint64_t first, std::uint64_t n) {
    for (std::uint64_t r = first; r < first + n; ++r) {
        VEXLO_ASSIGN_OR_RETURN(const std::string_view field, table.field_text(r, column));
        std::uint8_t any = 0;
        for (const char c : field)
            any |= static_cast<std::uint8_t>(c);
        // Only text beyond ASCII can fail; reading the cell gives its exact error.
        if (any >= 0x80) VEXLO_TRY(table.read_cell(r, column));
    }
    return {};
}

// A numeric column whose fields hold text of their own in every row.
bool is_ascii_number_column(const AsciiColumn& column) {
    return column.format.kind != AsciiFormat::Kind::A && column.format.width > 0;
}

}  // namespace

bool is_ascii_text_column(const AsciiTableHdu& table, const AsciiColumn& column) {
    return column.format.kind == AsciiFormat::Kind::A && column.format.width > 0 &&
           table.n_rows > 0;
}

Result<void> check_ascii_text_column(const AsciiTableHdu& table, const AsciiColumn& column) {
    return check_ascii_text_rows(table, column, 0, table.n_rows);
}

Result<DecodedColumn> decode_ascii_column(const AsciiTableHdu& table, const AsciiColumn& column) {
    if (column.format.width == 0 && table.n_rows > 0) {
        // A field of width 0 reads alike in every row: its text is kept once.
        VEXLO_ASSIGN_OR_RETURN(std::optional<AsciiValue> v, table.read_cell(0, column));
        if (auto* text = v ? std::get_if<std::string>(&v->value) : nullptr) {
            return DecodedColumn(Strings{{std::move(*text)}, table.n_rows});
        }
    }
    // Only A fields are text, and they are never null; numbers read as doubles, NaN for a
    // null.
    if (column.format.kind == AsciiFormat::Kind::A && table.n_rows > 0) {
        Strings out;
        reserve_rows(out.values, table.n_rows);
        for (std::uint64_t r = 0; r < table.n_rows; ++r) {
            VEXLO_ASSIGN_OR_RETURN(std::optional<AsciiValue> v, table.read_cell(r, column));
            auto* text = v ? std::get_if<std::string>(&v->value) : nullptr;
            out.values.push_back(text != nullptr ? std::move(*text) : std::string());
        }
        return DecodedColumn(std::move(out));
    }
    Float64Values out;
    reserve_rows(out.values, table.n_rows);
    out.values.resize(static_cast<std::size_t>(table.n_rows));
    VEXLO_TRY(decode_ascii_numbers(table, column, 0, out.values));
    return DecodedColumn(std::move(out));
}

Result<std::vector<DecodedColumn>> decode_ascii_columns(const AsciiTableHdu& table) {
    // Every numeric column is decoded, and every text column checked, in row ranges over the
    // cores: part c * parts + k takes range k of column c, so that the first failing part is
    // the first failing range of the first failing column, as one pass column after column
    // would report. Other columns (fields of width 0) are read once, by their first part.
    const std::size_t n_columns = table.columns.size();
    const std::size_t parts = row_parts(table.n_rows);
    std::vector<DecodedColumn> out;
    try {
        out.reserve(n_columns);
        for (const AsciiColumn& c : table.columns) {
            if (is_ascii_number_column(c)) {
                Float64Values values;
                reserve_rows(values.values, table.n_rows);
                values.values.resize(static_cast<std::size_t>(table.n_rows));
                out.emplace_back(std::move(values));
            } else {
                out.emplace_back(Strings{});
            }
        }
    } catch (const std::bad_alloc&) {
        return fail(Error::out_of_memory());
    }
    VEXLO_TRY(run_parts(n_columns * parts, parts, [&](std::size_t i) -> Result<void> {
        const std::size_t c = i / parts;
        const AsciiColumn& column = table.columns[c];
        const PartRange rows = part_range(i % parts, parts, table.n_rows);
        if (is_ascii_number_column(column)) {
            std::vector<double>& values = std::get<Float64Values>(out[c]).values;
            return decode_ascii_numbers(
                table, column, rows.first,
                std::span(values).subspan(static_cast<std::size_t>(rows.first),
                                          static_cast<std::size_t>(rows.count)));
        }
        if (is_ascii_text_column(table, column)) {
            return check_ascii_text_rows(table, column, rows.first, rows.count);
        }
        if (i % parts != 0) return {};
        VEXLO_ASSIGN_OR_RETURN(out[c], decode_ascii_column(table, column));
        return {};
    }));
    return out;
}

}  // namespace vexlo
