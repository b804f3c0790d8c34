// The Python table classes vexlo.BinTable and vexlo.AsciiTable: how a file's loaded table HDU
// or a builder's finished HDU becomes one, and what a rewrite or a file summary reads back.
//
// A table's cells never change after the object is built; only its header can be edited,
// through the shared header handle.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "hdu/ascii_table.hpp"
#include "hdu/bintable.hpp"
#include "hdu/owned.hpp"
#include "io/file.hpp"
#include "python/header.hpp"
#include "util/bytes.hpp"

namespace vexlo::py {

namespace nb = nanobind;

// A new vexlo.BinTable over a file's binary table HDU (not a tile-compressed image) and the
// header handle prepared for it. Every row of the columns whose decoding can fail is checked
// now (a decoding error raises vexlo.FitsError and nothing is kept); columns are decoded when
// asked for. Data bytes borrowed (from `source`, the file the HDU was loaded from) are kept by
// holding `source`; owned bytes are taken over; borrowed bytes without a source are copied.
nb::object make_bintable(BinTableHdu&& hdu, PyHeader header,
                         std::shared_ptr<const FitsFile> source);

// A new vexlo.BinTable over a binary table none of whose cells can fail to decode, built
// unread (load_unread_bintable) from HDU `index` of `source`: nothing is checked or read now;
// rows, columns and the data are read from `source` when asked for.
nb::object make_unread_bintable(BinTableHdu&& layout, PyHeader header,
                                std::shared_ptr<const FitsFile> source, std::size_t index);

// A new vexlo.AsciiTable over a file's ASCII table HDU, every column decoded now (a decoding
// error raises vexlo.FitsError); its data bytes are kept as make_bintable keeps them.
nb::object make_ascii_table(AsciiTableHdu&& hdu, PyHeader header,
                            std::shared_ptr<const FitsFile> source);

// A table made from a builder's finished HDU (header and data bytes, taken over): a new
// writable header record outside any session, the data bytes as its raw data, no columns and
// no rows.
nb::object bintable_from_builder(OwnedHdu&& hdu);
nb::object ascii_table_from_builder(OwnedHdu&& hdu);

enum class TableKind : std::uint8_t { Binary, Ascii };

struct TableState;

// What a file's rewrite and summary read from a table object. The pointers stay valid while
// the Python object lives.
struct TableInfo {
    TableKind kind = TableKind::Binary;
    std::uint64_t n_rows = 0;
    std::size_t n_columns = 0;
    const PyHeader* header = nullptr;
    const TableState* state = nullptr;  // its data is read by table_snapshot when needed
};

// The table behind a vexlo.BinTable or vexlo.AsciiTable object; none for any other object.
std::optional<TableInfo> table_info(nb::handle obj);

// Makes later header edits of a table object mark the file it was put into.
void attach_table_session(nb::handle obj, std::shared_ptr<FileSession> session);

// What a rewrite writes for a table: a copy of its current header (taken under the header
// lock) and a copy of its raw data (the data section it was built with, rows then the heap,
// read now for a table built unread).
OwnedHdu table_snapshot(const TableInfo& table);

}  // namespace vexlo::py
