// Tight decoders of the scalar numeric columns of binary tables (one element per row) into
// their whole-column form: one loop per stored type that gathers, byte-swaps, scales and
// widens each row's field straight into the output, and a second pass for the nulls of
// columns that declare TNULL. They give exactly the values the cell decoder gives.
#pragma once

#include <cstdint>
#include <span>

#include "hdu/bintable.hpp"

namespace vexlo {

// Whether a column is decoded by these kernels: one element per row of B, I, J or K (signed,
// offset bytes or scaled) into int64 or float64, or of E or D into float64.
bool has_scalar_kernel(const BinColumn& column);

// How the kernels store their output. Streaming stores write whole cache lines straight to
// memory, without first reading lines that are about to be overwritten: worth it for a large
// output that is not read again soon, where the lines are neither cached nor wanted there.
// The values stored are the same either way.
enum class OutputStores : std::uint8_t { Cached, Streaming };

// `out.size()` rows of such a column, the first row's field at `first`, fields `stride` bytes
// apart. Integers of form Int go into int64 (a null reads 0); E, D and scaled integers go
// into float64 (a null reads NaN). When `nulls` is not empty (same length as `out`) it
// receives 1 for a null row and 0 elsewhere. Returns the number of null rows. The column must
// have a kernel and the output the element type of its form (a kind that is no number, or
// floats into int64, is an Error).
Result<std::uint64_t> decode_scalar_rows(const BinColumn& column, const std::uint8_t* first,
                                         std::uint64_t stride, std::span<std::int64_t> out,
                                         std::span<std::uint8_t> nulls,
                                         OutputStores stores = OutputStores::Cached);
Result<std::uint64_t> decode_scalar_rows(const BinColumn& column, const std::uint8_t* first,
                                         std::uint64_t stride, std::span<double> out,
                                         std::span<std::uint8_t> nulls,
                                         OutputStores stores = OutputStores::Cached);

}  // namespace vexlo
