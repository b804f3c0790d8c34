// The one binary table reader: a table read from a file, whether its data section is held in
// memory or still only named in the file, the counterpart of the image reader.
//
// Maintainer's note: a change of how a binary table is read lazily goes here. This file owns
// the table's layout, the check a held table passes when it is built (every row of the columns
// whose decoding can fail), where its data section comes from (hdu/data_source: held bytes or
// the file), when that section is loaded whole (the first whole column or the whole table asks
// for it; rows and numeric columns asked for before are read from the file alone) and which
// scalar numeric columns are decoded ahead of their request, within twice the size of the
// table's rows. The record it hands out always holds its bytes; an unread layout is never
// handed out as a record. The decoders it calls are hdu/table_columns and the record's own
// accessors; the Python bindings ask it for columns, rows and the whole table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "error.hpp"
#include "hdu/bintable.hpp"
#include "hdu/data_source.hpp"
#include "hdu/table_columns.hpp"
#include "io/file.hpp"
#include "util/bytes.hpp"
#include "util/fill_once.hpp"

namespace vexlo {

class TableReader {
  public:
    // A table whose record holds its data section, once every row of the columns whose
    // decoding can fail is checked (check_bin_columns): a bad table is refused here, and its
    // columns are decoded when asked for. Bytes it borrows from `file`'s cache or content are
    // kept alive with the file; borrowed bytes without a file are copied. `table` is moved
    // from only on success.
    static Result<TableReader> of_record(BinTableHdu&& table, std::shared_ptr<const FitsFile> file);
    // A table whose data section, HDU `index` of `file`, has not been read: `layout` is the
    // record BinTableHdu::create_unread built for it.
    static Result<TableReader> of_unread(BinTableHdu&& layout, std::shared_ptr<const FitsFile> file,
                                         std::size_t index);

    // The header, columns and row layout (with no bytes while the table is unread).
    const BinTableHdu& layout() const { return layout_; }
    // Whether rows are still read from the file one request at a time: the table was built
    // unread and nothing has loaded its data section yet.
    bool rows_unread() const;
    // The record with its data section, loaded now (once) if it was not held.
    Result<const BinTableHdu*> record() const;
    // The data section (rows, then the heap), loaded now if it was not held.
    Result<ByteSpan> data() const;

    // Rows [first, first + n) of a column in its form: decoded from the record, or, while the
    // rows are unread, from those rows alone read from the file. Rows beyond the table are
    // refused either way.
    Result<DecodedColumn> column_rows(std::size_t column, std::uint64_t first,
                                      std::uint64_t n) const;
    // Every column's value in row `row` (each as column_rows gives one row), the row's bytes
    // read once for all of them while the rows are unread.
    Result<std::vector<DecodedColumn>> row(std::uint64_t row) const;
    // Every row of a column in its form (a field of width 0 kept once); loads the record.
    Result<DecodedColumn> column(std::size_t column) const;
    // Float64 and Int columns decoded together into their buffers: block by block from the
    // file while the rows are unread (the data section never held whole), else from the
    // record.
    Result<void> decode_targets(std::span<ColumnTarget> targets) const;

    // ---- decoding ahead ----
    // Each scalar numeric column asked for costs a pass over every row; so once a second one
    // is asked for, columns not yet asked for are decoded in the same pass and held by the
    // caller until asked for, perhaps never: they are bounded by twice the size of the
    // table's rows, so that a wide table read a few columns at a time never holds many times
    // its own size.
    // Whether a column reads as a flat array decoded by decode_targets (form Float64 or Int).
    bool is_scalar_numeric(std::size_t column) const;
    // The columns to decode now for a request of scalar numeric `column`: itself first, then
    // those to decode ahead. Marks them all asked for: a column is planned ahead at most once,
    // even by a request made while the first is still decoding.
    std::vector<std::size_t> plan_scalar_read(std::size_t column) const;

  private:
    struct Ahead {
        std::mutex lock;
        std::vector<std::uint8_t> asked;  // per column: asked for, or decoded ahead
    };

    TableReader() = default;
    // Refuses a column number beyond the table's columns.
    Result<void> check_column(std::size_t column) const;
    // The rows [first, first + n) read from the unread data section.
    Result<Bytes> read_rows(std::uint64_t first, std::uint64_t n) const;

    BinTableHdu layout_;
    std::shared_ptr<const FitsFile> file_;  // keeps borrowed or unread bytes reachable
    std::optional<DataSource> unread_;      // the data section while the record lacks it
    FillOnce<BinTableHdu> loaded_;          // the record once an unread section is loaded
    std::unique_ptr<Ahead> ahead_ = std::make_unique<Ahead>();
};

}  // namespace vexlo
