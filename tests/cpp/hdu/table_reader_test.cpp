#include "hdu/table_reader.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "../be_bytes.hpp"
#include "../io/fits_fixture.hpp"
#include "hdu/load.hpp"

namespace vexlo {
namespace {

using namespace fits_test;

constexpr std::uint64_t kRows = 6;

// A primary HDU, then a table of D, J (TNULL 7), K, 2B and E columns and 6 bytes of fill
// past them in each row (row_size 32), and `heap` bytes of a heap no column points into:
// nothing in it can fail to decode.
Bytes table_file(std::uint64_t heap = 0) {
    Bytes rows;
    for (std::uint64_t r = 0; r < kRows; ++r) {
        push_be_f64(0.5 * static_cast<double>(r), rows);
        push_be_u32(r == 2 ? 7 : static_cast<std::uint32_t>(10 * r), rows);
        push_be_u64(static_cast<std::uint64_t>(r) << 40, rows);
        rows.push_back(static_cast<std::uint8_t>(r));
        rows.push_back(static_cast<std::uint8_t>(200 + r));
        push_be_f32(static_cast<float>(r) - 1.5f, rows);
        rows.resize(rows.size() + 6, 0);
    }
    rows.resize(rows.size() + heap, 0x5a);
    Bytes content = hdu(primary_cards(8, {}));
    append(content,
           hdu({kv("XTENSION", "'BINTABLE'"), kv("BITPIX", 8), kv("NAXIS", 2), kv("NAXIS1", 32),
                kv("NAXIS2", static_cast<long long>(kRows)),
                kv("PCOUNT", static_cast<long long>(heap)), kv("GCOUNT", 1),
                kv("TFIELDS", 5), kv("TFORM1", "'D'"), kv("TFORM2", "'J'"), kv("TNULL2", 7),
                kv("TFORM3", "'K'"), kv("TFORM4", "'2B'"), kv("TFORM5", "'E'")},
               rows));
    return content;
}

// A decoded column as text, so that two readings can be compared whole.
std::string text_of(const DecodedColumn& c) {
    std::string out;
    if (const auto* f = std::get_if<Float64Values>(&c)) {
        for (const double v : f->values)
            out += std::to_string(v) + " ";
    } else if (const auto* i = std::get_if<IntValues>(&c)) {
        for (std::size_t k = 0; k < i->values.size(); ++k)
            out += (i->nulls.empty() || i->nulls[k] == 0 ? std::to_string(i->values[k]) : "null") +
                   " ";
    } else {
        const PerRow& cells = std::get<PerRow>(c);
        for (std::uint64_t k = 0; k < cells.size(); ++k)
            out += cells.cell(k).debug() + " ";
    }
    return out;
}

struct Readers {
    std::shared_ptr<const FitsFile> file;
    TableReader unread;
    TableReader held;
};

Readers open_readers(const std::string& path) {
    auto file = std::make_shared<const FitsFile>(FitsFile::open(path, true).value());
    std::optional<BinTableHdu> layout = load_unread_bintable(*file, 1, *file->header(1)).value();
    EXPECT_TRUE(layout.has_value());
    TableReader unread = TableReader::of_unread(std::move(*layout), file, 1).value();
    // The held table is loaded from a file of its own, whose cache it fills.
    auto other = std::make_shared<const FitsFile>(FitsFile::open(path, true).value());
    Hdu loaded = load_hdu(*other, 1).value();
    TableReader held =
        TableReader::of_record(std::move(std::get<BinTableHdu>(loaded.value)), other).value();
    return {file, std::move(unread), std::move(held)};
}

// A table read unread from its file reads every column, row and block-wise pass as the same
// table held in memory does, without loading its data section until a whole column asks.
TEST(TableReader, UnreadTableReadsAsTheHeldOne) {
    const Bytes content = table_file();
    for (const bool compress : {false, true}) {
        TempFile tmp(compress ? gzip(content) : content);
        Readers r = open_readers(tmp.path());
        const std::string ctx = compress ? "gzip" : "plain";
        EXPECT_TRUE(r.unread.rows_unread()) << ctx;
        EXPECT_FALSE(r.held.rows_unread()) << ctx;
        EXPECT_FALSE(r.unread.layout().holds_data()) << ctx;

        for (std::size_t c = 0; c < 5; ++c) {
            EXPECT_EQ(text_of(r.unread.column_rows(c, 1, 4).value()),
                      text_of(r.held.column_rows(c, 1, 4).value()))
                << ctx << " column " << c;
        }
        EXPECT_EQ(text_of(r.unread.column_rows(1, 0, kRows).value()), "0 10 null 30 40 50 ");
        const std::vector<DecodedColumn> row_unread = r.unread.row(3).value();
        const std::vector<DecodedColumn> row_held = r.held.row(3).value();
        ASSERT_EQ(row_unread.size(), 5u);
        ASSERT_EQ(row_held.size(), 5u);
        for (std::size_t c = 0; c < 5; ++c)
            EXPECT_EQ(text_of(row_unread[c]), text_of(row_held[c])) << ctx << " column " << c;
        EXPECT_EQ(r.unread.row(kRows).error().message(), "data: row 6 out of range (n_rows = 6)");

        std::vector<double> d_unread(kRows), d_held(kRows);
        std::vector<std::int64_t> j_unread(kRows), j_held(kRows);
        for (auto [reader, d, j] :
             {std::tuple(&r.unread, &d_unread, &j_unread), std::tuple(&r.held, &d_held, &j_held)}) {
            const std::vector<BinColumn>& cols = reader->layout().columns;
            ColumnTarget targets[] = {{&cols[0], std::span(*d), {}, 0, {}},
                                      {&cols[1], {}, std::span(*j), 0, {}}};
            ASSERT_TRUE(reader->decode_targets(targets)) << ctx;
            EXPECT_EQ(targets[1].n_nulls, 1u) << ctx;
        }
        EXPECT_EQ(d_unread, d_held) << ctx;
        EXPECT_EQ(j_unread, j_held) << ctx;
        // Nothing so far loaded the data section of the plain file.
        EXPECT_TRUE(r.unread.rows_unread()) << ctx;
        if (!compress) {
            EXPECT_EQ(r.file->data_cache.get(1), nullptr);
        }

        // A whole column loads it; the record handed out holds its bytes.
        EXPECT_EQ(text_of(r.unread.column(3).value()),
                  "Int([Some(0), Some(200)]) Int([Some(1), Some(201)]) Int([Some(2), Some(202)]) "
                  "Int([Some(3), Some(203)]) Int([Some(4), Some(204)]) Int([Some(5), Some(205)]) ");
        EXPECT_FALSE(r.unread.rows_unread()) << ctx;
        const BinTableHdu* record = r.unread.record().value();
        EXPECT_TRUE(record->holds_data()) << ctx;
        EXPECT_EQ(r.unread.data()->size(), 32 * kRows) << ctx;
        EXPECT_EQ(text_of(r.unread.column_rows(4, 0, 2).value()),
                  text_of(r.held.column_rows(4, 0, 2).value()));
    }
}

TEST(TableReader, RefusesWhatItCannotRead) {
    TempFile tmp(table_file());
    Readers r = open_readers(tmp.path());
    BinTableHdu other = r.unread.layout();
    other.n_rows = 1;
    other.heap_offset = 32;
    other.heap_size = 0;
    EXPECT_EQ(TableReader::of_unread(std::move(other), r.file, 1).error().message(),
              "data: BINTABLE layout of 32 bytes read over a data section of 192");
    EXPECT_EQ(TableReader::of_unread(BinTableHdu(r.unread.layout()), r.file, 2).error().message(),
              "header: HDU index 2 out of range (len = 2)");
    EXPECT_EQ(TableReader::of_unread(BinTableHdu(r.unread.layout()), nullptr, 1).error().message(),
              "data: an unread BINTABLE needs the file that holds its data section");
    for (const TableReader* reader : {&r.unread, &r.held}) {
        EXPECT_EQ(reader->column_rows(5, 0, 1).error().message(),
                  "data: BINTABLE col 6 out of range (TFIELDS = 5)");
        EXPECT_EQ(reader->column(5).error().message(),
                  "data: BINTABLE col 6 out of range (TFIELDS = 5)");
    }

    // A held table is checked whole first: a logical byte that is none of T, F and 0.
    Bytes logical = hdu(primary_cards(8, {}));
    append(logical, hdu({kv("XTENSION", "'BINTABLE'"), kv("BITPIX", 8), kv("NAXIS", 2),
                         kv("NAXIS1", 1), kv("NAXIS2", 3), kv("PCOUNT", 0), kv("GCOUNT", 1),
                         kv("TFIELDS", 1), kv("TFORM1", "'L'")},
                        Bytes{'T', 'x', 'F'}));
    TempFile bad(logical);
    const FitsFile bad_file = FitsFile::open(bad.path(), true).value();
    BinTableHdu bad_table = std::get<BinTableHdu>(load_hdu(bad_file, 1).value().value);
    EXPECT_EQ(TableReader::of_record(std::move(bad_table), nullptr).error().message(),
              "data: BINTABLE col 1: invalid L byte 0x78");
    // Refused, the record is left as it was.
    EXPECT_TRUE(bad_table.holds_data());

    // Rows past the table are refused alike from the file and from memory, also where the
    // data section goes on into a heap that a row's worth of bytes could be read from.
    TempFile with_heap(table_file(64));
    Readers h = open_readers(with_heap.path());
    ASSERT_TRUE(h.unread.rows_unread());
    for (const TableReader* reader : {&h.unread, &h.held}) {
        const std::string ctx = reader == &h.unread ? "unread" : "held";
        for (const auto& [first, n] : {std::pair<std::uint64_t, std::uint64_t>{kRows, 1},
                                       {kRows - 1, 2},
                                       {1, std::numeric_limits<std::uint64_t>::max()}}) {
            const Result<DecodedColumn> past = reader->column_rows(0, first, n);
            ASSERT_FALSE(past) << ctx << " " << first << "+" << n;
            const std::string row = std::to_string(std::max(first, kRows));
            EXPECT_EQ(past.error().message(), "data: row " + row + " out of range (n_rows = 6)")
                << ctx << " " << first << "+" << n;
        }
    }
}

// Once a second scalar numeric column is asked for, the columns not asked for yet are
// decoded with it, within twice the size of the rows: 2 * 32 bytes a row hold 8 columns of
// 8-byte values, so with 4 scalar columns all of them fit, each only once.
TEST(TableReader, DecodesAheadWithinTwiceTheRows) {
    TempFile tmp(table_file());
    Readers r = open_readers(tmp.path());
    const TableReader& reader = r.unread;
    EXPECT_TRUE(reader.is_scalar_numeric(0));
    EXPECT_TRUE(reader.is_scalar_numeric(2));
    EXPECT_FALSE(reader.is_scalar_numeric(3));
    EXPECT_EQ(reader.plan_scalar_read(1), (std::vector<std::size_t>{1}));
    EXPECT_EQ(reader.plan_scalar_read(1), (std::vector<std::size_t>{1}));
    EXPECT_EQ(reader.plan_scalar_read(4), (std::vector<std::size_t>{4, 0, 2}));
    // Those planned ahead are asked for from then on: none is planned ahead again.
    EXPECT_EQ(reader.plan_scalar_read(0), (std::vector<std::size_t>{0}));
    EXPECT_EQ(reader.plan_scalar_read(2), (std::vector<std::size_t>{2}));

    // Rows of 2 bytes: twice their size holds no column of 8-byte values, so none is taken
    // ahead however many are asked for.
    BinTableHdu narrow = r.held.layout();
    narrow.row_size = 2;
    for (BinColumn& c : narrow.columns)
        c.offset = 0;
    const TableReader small = TableReader::of_record(std::move(narrow), nullptr).value();
    EXPECT_EQ(small.plan_scalar_read(0), (std::vector<std::size_t>{0}));
    EXPECT_EQ(small.plan_scalar_read(1), (std::vector<std::size_t>{1}));
}

}  // namespace
}  // namespace vexlo
