#include "hdu/bintable_builder.hpp"

#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "data/strided.hpp"
#include "util/checked.hpp"
#include "util/text.hpp"
#include "util/try.hpp"

namespace vexlo {

namespace {

std::string build_label(const BinBuilderColumn& c, std::size_t index) {
    return column_label("build_bintable", c, index);
}

// ---- which cells fit which column ----

std::uint64_t rows_of(const BinNumericCells& c) {
    return c.rows;
}
std::uint64_t rows_of(const BinTextCells& c) {
    return c.per_row == 0 ? 0 : c.strings.size() / c.per_row;
}
std::uint64_t rows_of(const BinComplexCells& c) {
    return c.parts.size() / 2;
}
std::uint64_t rows_of(const BinVlaCells& c) {
    return c.rows.size();
}

bool is_vla_of_doubles(const BinBuilderColumn& c) {
    return c.kind == BinKind::P && c.vla_kind == BinKind::F64;
}

// What keeps `cells` out of `column`, or nothing when they fit.
std::optional<std::string> misfit(const BinBuilderColumn& column, const BinNumericCells& c) {
    const bool logical = column.kind == BinKind::Logical;
    if (!logical && !is_number_kind(column.kind)) {
        return "numeric values for a " + bin_column_tform(column) + " column";
    }
    if (c.logical != logical || BinFormat::byte_width(1, column.kind) != c.width) {
        return str(c.width) + "-byte " + (c.logical ? "logical" : "numeric") + " values for a " +
               bin_column_tform(column) + " column";
    }
    if (c.repeat != column.repeat) {
        return str(c.repeat) + " values per row for a " + bin_column_tform(column) + " column";
    }
    return std::nullopt;
}

std::optional<std::string> misfit(const BinBuilderColumn& column, const BinTextCells& c) {
    if (column.kind != BinKind::Char) {
        return "strings for a " + bin_column_tform(column) + " column";
    }
    const std::optional<std::uint64_t> repeat = checked_mul(c.per_row, c.width);
    if (c.per_row == 0 || repeat != column.repeat) {
        return str(c.per_row) + " strings of " + str(c.width) + " bytes per row for a " +
               bin_column_tform(column) + " column";
    }
    if (c.strings.size() % c.per_row != 0) {
        return str(c.strings.size()) + " strings do not fill rows of " + str(c.per_row);
    }
    for (std::size_t i = 0; i < c.strings.size(); ++i) {
        if (c.strings[i].size() > c.width) {
            return "string " + str(i) + " is " + str(c.strings[i].size()) +
                   " bytes, longer than its " + str(c.width) + "-byte slot";
        }
    }
    return std::nullopt;
}

std::optional<std::string> misfit(const BinBuilderColumn& column, const BinComplexCells& c) {
    if (column.kind != BinKind::C128 || column.repeat != 1) {
        return "complex values for a " + bin_column_tform(column) + " column";
    }
    if (c.parts.size() % 2 != 0) return "an odd count of complex parts";
    return std::nullopt;
}

std::optional<std::string> misfit(const BinBuilderColumn& column, const BinVlaCells&) {
    if (!is_vla_of_doubles(column)) {
        return "variable-length rows for a " + bin_column_tform(column) + " column";
    }
    return std::nullopt;
}

// Bytes of one row the cells fill; they fit their column, whose width the row width holds.
std::uint64_t cell_width(const BinColumnCells& cells) {
    if (const auto* n = std::get_if<BinNumericCells>(&cells)) return n->width * n->repeat;
    if (const auto* t = std::get_if<BinTextCells>(&cells)) return t->width * t->per_row;
    if (std::holds_alternative<BinComplexCells>(cells)) return 16;
    return 8;  // a P descriptor
}

std::string beyond_reach(std::size_t row, std::uint64_t count, std::uint64_t offset) {
    return "variable-length row " + str(row) + " holds " + str(count) +
           " elements at heap offset " + str(offset) +
           ", beyond the reach of 32-bit P descriptors (at most " + str(kMaxPDescriptorField) + ")";
}

// ---- writing the cells ----

Result<void> write_numeric(const BinNumericCells& c, std::uint8_t* first, std::size_t row_width) {
    const std::size_t repeat = static_cast<std::size_t>(c.repeat);
    if (c.logical) {
        for (std::uint64_t r = 0; r < c.rows; ++r)
            encode_logical_run(c.data + static_cast<std::ptrdiff_t>(r) * c.row_stride,
                               c.element_stride, repeat, first + r * row_width);
        return {};
    }
    return visit_word(c.width, [&](auto tag) {
        using U = typename decltype(tag)::type;
        if (repeat == 1) {
            encode_scatter<U>(c.data, c.row_stride, static_cast<std::size_t>(c.rows), first,
                              row_width);
            return;
        }
        for (std::uint64_t r = 0; r < c.rows; ++r)
            encode_run<U>(c.data + static_cast<std::ptrdiff_t>(r) * c.row_stride, c.element_stride,
                          repeat, first + r * row_width, U{0});
    });
}

void write_text(const BinTextCells& c, std::uint8_t* first, std::size_t row_width) {
    const std::uint64_t n_rows = rows_of(c);
    const auto width = static_cast<std::size_t>(c.width);
    for (std::uint64_t r = 0; r < n_rows; ++r) {
        std::uint8_t* cell = first + r * row_width;
        for (std::uint64_t k = 0; k < c.per_row; ++k) {
            const std::string& s = c.strings[r * c.per_row + k];
            std::uint8_t* slot = cell + k * width;
            std::memcpy(slot, s.data(), s.size());
            std::memset(slot + s.size(), ' ', width - s.size());
        }
    }
}

void write_complex(const BinComplexCells& c, std::uint8_t* first, std::size_t row_width) {
    const std::size_t n_rows = c.parts.size() / 2;
    for (std::size_t r = 0; r < n_rows; ++r) {
        encode_run<std::uint64_t>(reinterpret_cast<const std::uint8_t*>(&c.parts[2 * r]), 8, 2,
                                  first + r * row_width, 0);
    }
}

// The row's elements as big-endian doubles; the element type is looked at once per row.
Result<void> write_vla_values(const BinVlaRow& row, std::uint8_t* out) {
    const auto n = static_cast<std::size_t>(row.count);
    return visit_vla_element(row.element, [&](auto tag) {
        using T = typename decltype(tag)::type;
        if constexpr (std::is_same_v<T, double>) {
            // Copied bit for bit: a NaN keeps its payload.
            encode_run<std::uint64_t>(row.data, row.stride, n, out, 0);
        } else {
            encode_as_f64_run<T>(row.data, row.stride, n, out);
        }
    });
}

Result<void> write_vla(const BinTableBuilder& builder, std::size_t index, const BinVlaCells& c,
                       std::uint8_t* first, std::size_t row_width, Bytes& heap,
                       std::uint64_t& heap_pos) {
    for (std::size_t r = 0; r < c.rows.size(); ++r) {
        const BinVlaRow& row = c.rows[r];
        if (!builder.encode_descriptor(index, row.count, heap_pos,
                                       std::span<std::uint8_t>(first + r * row_width, 8))) {
            return fail(Error::data(build_label(builder.columns[index], index) + ": " +
                                    beyond_reach(r, row.count, heap_pos)));
        }
        VEXLO_TRY(write_vla_values(row, heap.data() + heap_pos));
        heap_pos += row.count * 8;
    }
    return {};
}

Result<void> write_column(const BinTableBuilder& builder, std::size_t index,
                          const BinColumnCells& cells, std::uint8_t* first, std::size_t row_width,
                          Bytes& heap, std::uint64_t& heap_pos) {
    if (const auto* n = std::get_if<BinNumericCells>(&cells)) {
        VEXLO_TRY(write_numeric(*n, first, row_width));
    } else if (const auto* t = std::get_if<BinTextCells>(&cells)) {
        write_text(*t, first, row_width);
    } else if (const auto* c = std::get_if<BinComplexCells>(&cells)) {
        write_complex(*c, first, row_width);
    } else {
        return write_vla(builder, index, std::get<BinVlaCells>(cells), first, row_width, heap,
                         heap_pos);
    }
    return {};
}

// Every entry fits its column and all hold the same number of rows, which is returned.
Result<std::uint64_t> check_cells(const BinTableBuilder& builder,
                                  std::span<const BinColumnCells> cells) {
    if (cells.size() != builder.columns.size()) {
        return fail(Error::data("build_bintable: " + str(cells.size()) + " column values for " +
                                str(builder.columns.size()) + " columns"));
    }
    std::uint64_t n_rows = 0;
    for (std::size_t ci = 0; ci < cells.size(); ++ci) {
        const BinBuilderColumn& column = builder.columns[ci];
        const std::optional<std::string> problem =
            std::visit([&](const auto& c) { return misfit(column, c); }, cells[ci]);
        if (problem) return fail(Error::data(build_label(column, ci) + ": " + *problem));
        const std::uint64_t rows = std::visit([](const auto& c) { return rows_of(c); }, cells[ci]);
        if (ci == 0) n_rows = rows;
        if (rows != n_rows) {
            return fail(Error::data(build_label(column, ci) + ": " + str(rows) +
                                    " rows, expected " + str(n_rows)));
        }
    }
    return n_rows;
}

}  // namespace

std::string char_array_tdim(std::uint64_t width, std::uint64_t count) {
    return "(" + str(width) + "," + str(count) + ")";
}

Result<std::uint64_t> plan_vla_heap(const BinTableBuilder& builder, std::size_t column,
                                    std::span<const BinVlaRow> rows, std::uint64_t heap_end) {
    if (column >= builder.columns.size() || !is_vla_of_doubles(builder.columns[column])) {
        return fail(Error::data("plan_vla_heap: column " + str(column + 1) +
                                " is not a variable-length column of doubles"));
    }
    std::uint8_t scratch[8];
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const std::uint64_t count = rows[r].count;
        if (!builder.encode_descriptor(column, count, heap_end, scratch)) {
            return fail(Error::data(beyond_reach(r, count, heap_end)));
        }
        const std::uint64_t bytes = count * 8;  // count is below 2^31 here
        if (heap_end + bytes > kMaxPDescriptorField) {
            return fail(Error::data("variable-length arrays need a heap of " +
                                    str(heap_end + bytes) +
                                    " bytes; 32-bit P descriptors reach at most " +
                                    str(kMaxPDescriptorField) + " bytes"));
        }
        heap_end += bytes;
    }
    return heap_end;
}

Result<BinTableHdu> build_bintable(BinTableBuilder builder, std::span<const BinColumnCells> cells) {
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t n_rows, check_cells(builder, cells));

    std::uint64_t heap_end = 0;
    for (std::size_t ci = 0; ci < cells.size(); ++ci) {
        const auto* vla = std::get_if<BinVlaCells>(&cells[ci]);
        if (vla == nullptr) continue;
        Result<std::uint64_t> end = plan_vla_heap(builder, ci, vla->rows, heap_end);
        if (!end) {
            return fail(Error::data(build_label(builder.columns[ci], ci) + ": " + end.error().msg));
        }
        heap_end = *end;
    }

    // Rows the address space cannot hold fail as an allocation would.
    const std::uint64_t row_width = builder.row_width();
    const std::optional<std::uint64_t> rows_size = checked_mul(n_rows, row_width);
    constexpr auto kMaxBuffer =
        static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max());
    if (!rows_size || *rows_size > kMaxBuffer - heap_end) return fail(Error::out_of_memory());
    const auto rows_bytes = static_cast<std::size_t>(*rows_size);
    const auto heap_bytes = static_cast<std::size_t>(heap_end);
    Bytes rows;
    Bytes heap;
    try {
        // Room for the heap too: the table keeps rows and heap in one buffer.
        rows = encode_buffer_of(rows_bytes + heap_bytes);
        rows.resize(rows_bytes);
        heap = encode_buffer_of(heap_bytes);
    } catch (const std::bad_alloc&) {
        return fail(Error::out_of_memory());
    }

    // Without rows there is nothing to write, and a row width beyond 64 bits (which the
    // build refuses) gives no offsets.
    if (n_rows > 0) {
        const auto w = static_cast<std::size_t>(row_width);
        std::size_t offset = 0;
        std::uint64_t heap_pos = 0;
        for (std::size_t ci = 0; ci < cells.size(); ++ci) {
            VEXLO_TRY(
                write_column(builder, ci, cells[ci], rows.data() + offset, w, heap, heap_pos));
            offset += static_cast<std::size_t>(cell_width(cells[ci]));
        }
    }
    return std::move(builder).build(n_rows, std::move(rows), heap);
}

}  // namespace vexlo
