#include "hdu/table_reader.hpp"

#include <algorithm>
#include <limits>
#include <string>
#include <utility>

#include "util/checked.hpp"

namespace vexlo {

Result<TableReader> TableReader::of_record(BinTableHdu&& table,
                                           std::shared_ptr<const FitsFile> file) {
    VEXLO_TRY(check_bin_columns(table));
    TableReader r;
    if (!table.data.is_owned() && file == nullptr) {
        table.data = DataBuf::owned(std::move(table.data).into_bytes());
    }
    r.layout_ = std::move(table);
    r.file_ = std::move(file);
    return r;
}

Result<TableReader> TableReader::of_unread(BinTableHdu&& layout,
                                           std::shared_ptr<const FitsFile> file,
                                           std::size_t index) {
    if (file == nullptr) {
        return fail(Error::data("an unread BINTABLE needs the file that holds its data section"));
    }
    VEXLO_ASSIGN_OR_RETURN(const DataSource source, DataSource::of_file(*file, index));
    if (source.size() != layout.heap_offset + layout.heap_size) {
        return fail(Error::data(
            "BINTABLE layout of " + std::to_string(layout.heap_offset + layout.heap_size) +
            " bytes read over a data section of " + std::to_string(source.size())));
    }
    TableReader r;
    r.layout_ = std::move(layout);
    r.layout_.data = DataBuf();
    r.file_ = std::move(file);
    r.unread_ = source;
    return r;
}

bool TableReader::rows_unread() const {
    return unread_.has_value() && loaded_.get() == nullptr;
}

Result<const BinTableHdu*> TableReader::record() const {
    if (!unread_) return &layout_;
    if (const BinTableHdu* read = loaded_.get()) return read;
    // The file keeps the bytes (its cache, or its content in memory) while the reader holds it.
    VEXLO_ASSIGN_OR_RETURN(const ByteSpan bytes, unread_->whole());
    try {
        auto fresh = std::make_unique<BinTableHdu>(layout_);
        fresh->data = DataBuf::borrowed(bytes);
        return loaded_.fill(std::move(fresh));
    } catch (const std::bad_alloc&) {
        return fail(Error::out_of_memory());
    }
}

Result<ByteSpan> TableReader::data() const {
    VEXLO_ASSIGN_OR_RETURN(const BinTableHdu* table, record());
    return table->data_section();
}

Result<void> TableReader::check_column(std::size_t column) const {
    if (column < layout_.columns.size()) return {};
    return fail(Error::data("BINTABLE col " + std::to_string(column + 1) +
                            " out of range (TFIELDS = " + std::to_string(layout_.columns.size()) +
                            ")"));
}

Result<Bytes> TableReader::read_rows(std::uint64_t first, std::uint64_t n) const {
    const std::optional<std::uint64_t> at = checked_mul(first, layout_.row_size);
    const std::optional<std::uint64_t> len = checked_mul(n, layout_.row_size);
    if (!at || !len || *len > std::numeric_limits<std::size_t>::max()) {
        return fail(Error::out_of_memory());
    }
    return unread_->read_bytes(*at, *len);
}

Result<DecodedColumn> TableReader::column_rows(std::size_t column, std::uint64_t first,
                                               std::uint64_t n) const {
    VEXLO_TRY(check_column(column));
    if (rows_unread()) {
        // Before any byte is read: the file's data section goes on past the rows into the heap.
        // Held rows are refused alike by decode_bin_rows.
        VEXLO_TRY(layout_.check_row_range(first, n));
        VEXLO_ASSIGN_OR_RETURN(const Bytes rows, read_rows(first, n));
        return decode_bin_rows_from(layout_, layout_.columns[column], rows, n);
    }
    VEXLO_ASSIGN_OR_RETURN(const BinTableHdu* table, record());
    return decode_bin_rows(*table, table->columns[column], first, n);
}

Result<std::vector<DecodedColumn>> TableReader::row(std::uint64_t row) const {
    VEXLO_TRY(layout_.check_row_range(row, 1));
    std::vector<DecodedColumn> out;
    out.reserve(layout_.columns.size());
    if (rows_unread()) {
        VEXLO_ASSIGN_OR_RETURN(const Bytes bytes, read_rows(row, 1));
        for (const BinColumn& c : layout_.columns) {
            VEXLO_ASSIGN_OR_RETURN(DecodedColumn one, decode_bin_rows_from(layout_, c, bytes, 1));
            out.push_back(std::move(one));
        }
        return out;
    }
    VEXLO_ASSIGN_OR_RETURN(const BinTableHdu* table, record());
    for (const BinColumn& c : table->columns) {
        VEXLO_ASSIGN_OR_RETURN(DecodedColumn one, decode_bin_rows(*table, c, row, 1));
        out.push_back(std::move(one));
    }
    return out;
}

Result<DecodedColumn> TableReader::column(std::size_t column) const {
    VEXLO_TRY(check_column(column));
    VEXLO_ASSIGN_OR_RETURN(const BinTableHdu* table, record());
    return decode_bin_column(*table, table->columns[column]);
}

Result<void> TableReader::decode_targets(std::span<ColumnTarget> targets) const {
    if (rows_unread()) return decode_columns_blockwise(layout_, *unread_, targets);
    VEXLO_ASSIGN_OR_RETURN(const BinTableHdu* table, record());
    return decode_columns_blockwise(*table, targets);
}

bool TableReader::is_scalar_numeric(std::size_t column) const {
    const ColumnForm form = bin_column_form(layout_, layout_.columns.at(column));
    return form == ColumnForm::Float64 || form == ColumnForm::Int;
}

std::vector<std::size_t> TableReader::plan_scalar_read(std::size_t column) const {
    const std::lock_guard<std::mutex> hold(ahead_->lock);
    std::vector<std::uint8_t>& asked = ahead_->asked;
    asked.resize(layout_.columns.size(), 0);
    const bool second =
        asked.at(column) == 0 && std::find(asked.begin(), asked.end(), 1) != asked.end();
    asked[column] = 1;
    std::vector<std::size_t> columns{column};
    if (!second) return columns;
    // Every scalar numeric column comes back as 8-byte values, one per row.
    constexpr std::uint64_t kAll = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t rows = checked_mul(layout_.row_size, layout_.n_rows).value_or(kAll);
    const std::uint64_t budget = checked_mul(rows, 2).value_or(kAll);
    const std::uint64_t each = checked_mul(layout_.n_rows, 8).value_or(kAll);
    const std::uint64_t most = each == 0 ? kAll : budget / each;
    std::uint64_t taken = 0;
    for (std::size_t i = 0; i < layout_.columns.size() && taken < most; ++i) {
        if (asked[i] == 0 && is_scalar_numeric(i)) {
            asked[i] = 1;
            columns.push_back(i);
            ++taken;
        }
    }
    return columns;
}

}  // namespace vexlo
