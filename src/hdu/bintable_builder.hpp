// A binary table built straight from column values in memory: numbers in strided blocks,
// strings, complex parts and variable-length rows are laid out as big-endian rows and a heap
// of doubles, then handed to BinTableBuilder::build. The values are borrowed: nothing here
// owns or copies them, so the caller keeps them alive until the build returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <variant>

#include "data/dispatch.hpp"
#include "error.hpp"
#include "hdu/bintable.hpp"
#include "hdu/builders.hpp"

namespace vexlo {

// Host-order numbers row after row: `repeat` elements of `width` bytes (1, 2, 4 or 8) per
// row, rows `row_stride` bytes apart and a row's elements `element_stride` bytes apart, so
// any one- or two-dimensional array layout is read where it lies. A logical block holds
// one-byte booleans, written 'T' for nonzero and 'F' for zero.
struct BinNumericCells {
    const std::uint8_t* data = nullptr;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t element_stride = 0;
    std::uint64_t rows = 0;
    std::uint64_t repeat = 1;
    std::size_t width = 8;
    bool logical = false;
};

// `per_row` strings for each row, row after row, each left in a slot of `width` bytes and
// filled with blanks; no string may be longer than its slot.
struct BinTextCells {
    std::span<const std::string> strings;
    std::uint64_t per_row = 1;
    std::uint64_t width = 1;
};

// One double-precision complex number per row: real part, imaginary part.
struct BinComplexCells {
    std::span<const double> parts;
};

// One variable-length row: `count` elements of `element`, `stride` bytes apart.
struct BinVlaRow {
    const std::uint8_t* data = nullptr;
    std::ptrdiff_t stride = 8;
    std::uint64_t count = 0;
    VlaElement element = VlaElement::F64;

    static BinVlaRow of_doubles(std::span<const double> values) {
        return {reinterpret_cast<const std::uint8_t*>(values.data()), 8, values.size(),
                VlaElement::F64};
    }
};

struct BinVlaCells {
    std::span<const BinVlaRow> rows;
};

// The values of one column. Numeric blocks fill L, B, I, J, K, E and D columns of the same
// element width and repeat; text fills an A column of repeat per_row * width; complex a 1M
// column; variable-length rows a 1PD column.
using BinColumnCells = std::variant<BinNumericCells, BinTextCells, BinComplexCells, BinVlaCells>;

// The TDIM text of a character-array column: `count` strings of `width` characters, "(w,n)".
std::string char_array_tdim(std::uint64_t width, std::uint64_t count);

// Places the arrays of `rows`, the values of `column` (a 1PD column of `builder`), in the heap
// after its first `heap_end` bytes and returns where the heap then ends. An array that a
// 32-bit P descriptor cannot point to, or a heap beyond its reach, refuses the column with
// an Error::Data whose text describes the row and names no column; nothing is written.
Result<std::uint64_t> plan_vla_heap(const BinTableBuilder& builder, std::size_t column,
                                    std::span<const BinVlaRow> rows, std::uint64_t heap_end);

// The table of `builder`'s columns filled from `cells`, one entry per column in order, every
// entry of the same row count: the heap is planned column after column (as plan_vla_heap,
// with the column named), then rows and heap are encoded and built. Cells that do not fit
// their column are an Error::Data; rows or a heap too large for memory Error::out_of_memory().
Result<BinTableHdu> build_bintable(BinTableBuilder builder, std::span<const BinColumnCells> cells);

}  // namespace vexlo
