// The image, binary-table and ASCII-table builders: headers in order, encoded data, every
// refusal text, and round trips through the writer and back through the file reader.
#include "hdu/builders.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "compression/reader.hpp"
#include "hdu/checksum.hpp"
#include "hdu/hdu.hpp"
#include "hdu/load.hpp"
#include "hdu/writer.hpp"
#include "io/file.hpp"
#include "util/parallel.hpp"
#include "writer_fixture.hpp"

namespace vexlo {
namespace {

using namespace write_testing;

// KEY=value for every value card, in order.
std::vector<std::string> cards(const Header& h) {
    std::vector<std::string> out;
    for (const CardEntry& e : h.entries())
        out.push_back(e.keyword + "=" + e.value.to_text());
    return out;
}

// Writes an empty primary (unless the HDU is primary itself) and the HDU with checksums,
// opens the file and checks that it verifies; returns the opened file.
FitsFile write_and_open(const TempDir& dir, const OwnedHdu& hdu, bool primary) {
    const std::string path = dir.file("b.fits");
    auto out = BufWriter::create(path, true);
    EXPECT_TRUE(out.has_value());
    FitsWriter w = FitsWriter::owning(std::move(*out), 0, true);
    if (!primary) {
        EXPECT_TRUE(w.write_hdu(Header::new_primary(), {}).has_value());
    }
    auto r = w.write_hdu(hdu.header, hdu.data);
    EXPECT_TRUE(r.has_value()) << r.error().message();
    auto done = std::move(w).finish();
    EXPECT_TRUE(done.has_value());
    if (done) *done = BufWriter();
    auto f = FitsFile::open(path, false);
    EXPECT_TRUE(f.has_value()) << f.error().message();
    auto rows = verify_checksums(*f);
    EXPECT_TRUE(rows.has_value());
    for (const ChecksumStatus& s : *rows) {
        EXPECT_EQ(s.checksum_ok, std::optional<bool>(true));
        EXPECT_EQ(s.datasum_ok, std::optional<bool>(true));
    }
    return std::move(*f);
}

// ================================== images ==================================

template <class T>
Bytes built_image_data(std::vector<T> pixels) {
    const std::uint64_t n = pixels.size();
    auto b = ImageBuilder<T>::create({n}, std::move(pixels));
    EXPECT_TRUE(b.has_value());
    auto hdu = std::move(*b).build();
    EXPECT_TRUE(hdu.has_value()) << hdu.error().message();
    return std::move(*hdu).into_data();
}

// A host array walked through outer axes with gaps and a strided run, with a flip, encodes to
// the same bytes element by element in C order however the pass is split.
TEST(EncodeHostPixels, EverySplitGivesTheElementOrderBytes) {
    // A 5 x 7 x 3 block of 16-bit words, every other plane and every other row of a larger
    // array, its last axis strided by two words.
    std::vector<std::uint16_t> memory(10 * 14 * 6);
    for (std::size_t i = 0; i < memory.size(); ++i)
        memory[i] = static_cast<std::uint16_t>(i * 2654435761u >> 7);
    HostPixels host;
    host.base = reinterpret_cast<const std::uint8_t*>(memory.data());
    host.outer_shape = {5, 7};
    host.outer_stride = {2 * 14 * 6 * 2, 2 * 6 * 2};
    host.run = 3;
    host.run_stride = 2 * 2;
    ASSERT_EQ(host.size(), 105u);
    Bytes want;
    for (std::size_t a = 0; a < 5; ++a) {
        for (std::size_t b = 0; b < 7; ++b) {
            for (std::size_t c = 0; c < 3; ++c) {
                const std::uint16_t v = memory[(2 * a) * 14 * 6 + (2 * b) * 6 + 2 * c] ^ 0x8000;
                want.push_back(static_cast<std::uint8_t>(v >> 8));
                want.push_back(static_cast<std::uint8_t>(v & 0xFF));
            }
        }
    }
    for (const std::size_t parts :
         {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{50}}) {
        force_parts_for_tests(parts);
        force_helper_budget_for_tests(std::min<std::size_t>(parts, 8) - 1);
        Bytes got(want.size(), 0xEE);
        const Result<void> r = encode_host_pixels(host, 2, 0x8000, got);
        force_parts_for_tests(0);
        force_helper_budget_for_tests(std::nullopt);
        ASSERT_TRUE(r) << r.error().message();
        EXPECT_EQ(got, want) << parts;
    }
    Bytes short_by_one(want.size() - 1);
    EXPECT_EQ(encode_host_pixels(host, 2, 0, short_by_one).error().message(),
              "data: encoded pixels: destination is 209 bytes, pixels need 210");
}

TEST(ImageBuilder, EncodesEachTypeBigEndian) {
    EXPECT_EQ(built_image_data<std::uint8_t>({0, 1, 255}), (Bytes{0x00, 0x01, 0xFF}));
    EXPECT_EQ(built_image_data<std::int16_t>({1, -2}), (Bytes{0x00, 0x01, 0xFF, 0xFE}));
    EXPECT_EQ(built_image_data<std::int32_t>({0x01020304, -1}),
              (Bytes{1, 2, 3, 4, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(built_image_data<std::int64_t>({0x0102030405060708}),
              (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(built_image_data<float>({1.0f, -2.0f}),
              (Bytes{0x3F, 0x80, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00}));
    EXPECT_EQ(built_image_data<double>({1.0}), (Bytes{0x3F, 0xF0, 0, 0, 0, 0, 0, 0}));
}

template <class T>
void check_geometry(std::int64_t bitpix, std::size_t bytes) {
    auto b = ImageBuilder<T>::create({3, 2}, std::vector<T>(6));
    ASSERT_TRUE(b.has_value());
    auto hdu = std::move(*b).build();
    ASSERT_TRUE(hdu.has_value()) << hdu.error().message();
    EXPECT_EQ(cards(hdu->header), (std::vector<std::string>{
                                      "XTENSION=IMAGE", "BITPIX=" + std::to_string(bitpix),
                                      "NAXIS=2", "NAXIS1=3", "NAXIS2=2", "PCOUNT=0", "GCOUNT=1"}));
    EXPECT_EQ(hdu->data.size(), 6 * bytes);
    EXPECT_EQ(hdu->axes, (std::vector<std::uint64_t>{3, 2}));
}

TEST(ImageBuilder, GeometryForEveryType) {
    check_geometry<std::uint8_t>(8, 1);
    check_geometry<std::int16_t>(16, 2);
    check_geometry<std::int32_t>(32, 4);
    check_geometry<std::int64_t>(64, 8);
    check_geometry<float>(-32, 4);
    check_geometry<double>(-64, 8);
}

TEST(ImageBuilder, PrimaryHeader) {
    auto b = ImageBuilder<float>::create({2, 2}, {1, 2, 3, 4});
    ASSERT_TRUE(b.has_value());
    b->primary = true;
    auto hdu = std::move(*b).build();
    ASSERT_TRUE(hdu.has_value());
    EXPECT_EQ(cards(hdu->header), (std::vector<std::string>{"SIMPLE=T", "BITPIX=-32", "NAXIS=2",
                                                            "NAXIS1=2", "NAXIS2=2", "EXTEND=T"}));
    EXPECT_EQ(hdu->header.get("SIMPLE")->comment(), "conforming FITS file");
    EXPECT_EQ(hdu->header.get("EXTEND")->comment(), "FITS dataset may contain extensions");
    EXPECT_EQ(hdu->header.get("BITPIX")->comment(), std::nullopt);
}

TEST(ImageBuilder, Refusals) {
    const auto five = ImageBuilder<std::int16_t>::create({3, 2}, std::vector<std::int16_t>(5));
    ASSERT_FALSE(five.has_value());
    EXPECT_EQ(five.error().kind, Error::Kind::Data);
    EXPECT_EQ(five.error().message(),
              "data: ImageBuilder: pixel count 5 does not match axes product 6");

    const auto overflow = ImageBuilder<std::uint8_t>::create({1ull << 32, 1ull << 32}, {});
    EXPECT_FALSE(overflow.has_value());

    // No axes: any pixel list passes create; the image record refuses data without axes.
    auto none = ImageBuilder<double>::create({}, {});
    ASSERT_TRUE(none.has_value());
    auto empty = std::move(*none).build();
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(cards(empty->header), (std::vector<std::string>{"XTENSION=IMAGE", "BITPIX=-64",
                                                              "NAXIS=0", "PCOUNT=0", "GCOUNT=1"}));
    EXPECT_TRUE(empty->data.empty());
    auto some = ImageBuilder<double>::create({}, {1.0});
    ASSERT_TRUE(some.has_value());
    EXPECT_FALSE(std::move(*some).build().has_value());
}

TEST(ImageBuilder, RoundTripThroughFile) {
    TempDir dir;
    std::vector<std::int16_t> px = {-32768, -1, 0, 1, 2, 32767};
    auto b = ImageBuilder<std::int16_t>::create({2, 3}, px);
    ASSERT_TRUE(b.has_value());
    b->primary = true;
    auto hdu = std::move(*b).build();
    ASSERT_TRUE(hdu.has_value());
    const FitsFile f = write_and_open(dir, std::move(*hdu).into_parts(), true);
    ASSERT_EQ(f.len(), 1u);
    auto img = load_image(f, 0);
    ASSERT_TRUE(img.has_value()) << img.error().message();
    auto arr = img->to_array_i16();
    ASSERT_TRUE(arr.has_value());
    EXPECT_EQ(arr->data, px);
    EXPECT_EQ(arr->axes, (std::vector<std::uint64_t>{2, 3}));
}

// ================================ binary tables ================================

TEST(BinTableBuilder, TformTexts) {
    BinTableBuilder b;
    ASSERT_TRUE(b.add_column("a", BinKind::I32, 1, std::nullopt, std::nullopt).has_value());
    ASSERT_TRUE(b.add_column("b", BinKind::Char, 20, std::nullopt, std::nullopt).has_value());
    ASSERT_TRUE(b.add_column("c", BinKind::Bit, 3, std::nullopt, std::nullopt).has_value());
    ASSERT_TRUE(
        b.add_vla_column("d", BinKind::P, BinKind::F32, std::nullopt, std::nullopt).has_value());
    ASSERT_TRUE(b.add_vla_column("e", BinKind::Q, BinKind::I32, std::nullopt, 50).has_value());
    ASSERT_TRUE(b.add_column("f", BinKind::C128, 12, std::nullopt, std::nullopt).has_value());
    std::vector<std::string> got;
    for (const BinBuilderColumn& c : b.columns)
        got.push_back(bin_column_tform(c));
    EXPECT_EQ(got, (std::vector<std::string>{"1J", "20A", "3X", "1PE", "1QJ(50)", "12M"}));
    const std::string letters = [] {
        std::string s;
        for (int k = 0; k <= static_cast<int>(BinKind::Q); ++k)
            s += bin_kind_letter(static_cast<BinKind>(k));
        return s;
    }();
    EXPECT_EQ(letters, "LXBIJKAEDCMPQ");
}

TEST(BinTableBuilder, RowWidths) {
    struct Case {
        BinKind kind;
        std::uint64_t repeat;
        std::uint64_t width;
    };
    const std::vector<Case> cases = {
        {BinKind::Logical, 3, 3}, {BinKind::Bit, 1, 1},  {BinKind::Bit, 8, 1},
        {BinKind::Bit, 9, 2},     {BinKind::Byte, 5, 5}, {BinKind::I16, 3, 6},
        {BinKind::I32, 3, 12},    {BinKind::I64, 2, 16}, {BinKind::Char, 7, 7},
        {BinKind::F32, 2, 8},     {BinKind::F64, 2, 16}, {BinKind::C64, 2, 16},
        {BinKind::C128, 2, 32},
    };
    for (const Case& c : cases) {
        BinTableBuilder b;
        ASSERT_TRUE(b.add_column("x", c.kind, c.repeat, std::nullopt, std::nullopt).has_value());
        EXPECT_EQ(b.row_width(), c.width) << bin_column_tform(b.columns[0]);
    }
    BinTableBuilder b;
    ASSERT_TRUE(b.add_column("a", BinKind::I32, 1, std::nullopt, std::nullopt).has_value());
    ASSERT_TRUE(b.add_column("b", BinKind::Bit, 3, std::nullopt, std::nullopt).has_value());
    ASSERT_TRUE(b.add_column("c", BinKind::Char, 20, std::nullopt, std::nullopt).has_value());
    EXPECT_EQ(b.row_width(), 25u);
    ASSERT_TRUE(
        b.add_vla_column("p", BinKind::P, BinKind::F64, std::nullopt, std::nullopt).has_value());
    ASSERT_TRUE(
        b.add_vla_column("q", BinKind::Q, BinKind::Byte, std::nullopt, std::nullopt).has_value());
    EXPECT_EQ(b.row_width(), 25u + 8 + 16);
}

TEST(BinTableBuilder, AddRefusalsLeaveBuilderUnchanged) {
    struct Case {
        bool vla;
        BinKind kind;
        BinKind element;
        std::uint64_t repeat;
        std::string message;
    };
    const std::vector<Case> cases = {
        {false, BinKind::P, BinKind::Byte, 1,
         "data: BinTableBuilder: use add_vla_column for P/Q descriptors"},
        {false, BinKind::Q, BinKind::Byte, 1,
         "data: BinTableBuilder: use add_vla_column for P/Q descriptors"},
        {false, BinKind::I16, BinKind::Byte, 0,
         "data: BinTableBuilder: column repeat must be >= 1"},
        {true, BinKind::I32, BinKind::Byte, 1,
         "data: BinTableBuilder::add_vla_column: descriptor must be P or Q"},
        {true, BinKind::P, BinKind::Q, 1,
         "data: BinTableBuilder::add_vla_column: VLA element type cannot itself be P/Q"},
        {true, BinKind::Q, BinKind::P, 1,
         "data: BinTableBuilder::add_vla_column: VLA element type cannot itself be P/Q"},
    };
    for (const Case& c : cases) {
        BinTableBuilder b;
        ASSERT_TRUE(b.add_column("keep", BinKind::Byte, 1, std::nullopt, std::nullopt).has_value());
        const auto r = c.vla ? b.add_vla_column("x", c.kind, c.element, std::nullopt, std::nullopt)
                             : b.add_column("x", c.kind, c.repeat, std::nullopt, std::nullopt);
        ASSERT_FALSE(r.has_value()) << c.message;
        EXPECT_EQ(r.error().message(), c.message);
        ASSERT_EQ(b.columns.size(), 1u);
        EXPECT_EQ(b.columns[0].name, "keep");
    }
}

TEST(BinTableBuilder, EmptyTable) {
    BinTableBuilder b;
    auto t = std::move(b).build(0, {}, {});
    ASSERT_TRUE(t.has_value()) << t.error().message();
    EXPECT_EQ(cards(t->header),
              (std::vector<std::string>{"XTENSION=BINTABLE", "BITPIX=8", "NAXIS=2", "NAXIS1=0",
                                        "NAXIS2=0", "PCOUNT=0", "GCOUNT=1", "TFIELDS=0"}));
    EXPECT_TRUE(t->data.empty());
}

TEST(BinTableBuilder, HeaderWithOptionalCardsAndHeap) {
    BinTableBuilder b;
    b.extname = "EVENTS";
    ASSERT_TRUE(b.add_column("TIME", BinKind::F64, 1, "s", std::nullopt).has_value());
    ASSERT_TRUE(b.add_vla_column("SPEC", BinKind::P, BinKind::I16, std::nullopt, 100).has_value());
    ASSERT_TRUE(b.add_column("IMG", BinKind::Byte, 6, std::nullopt, "(3,2)").has_value());
    ASSERT_EQ(b.row_width(), 22u);
    // Two rows; row 0's array holds 3 values at offset 0, row 1's 1 value at offset 6.
    Bytes rows(44, 0);
    store_be_f64(rows.data(), 1.5);
    ASSERT_TRUE(b.encode_descriptor(1, 3, 0, std::span(rows).subspan(8, 8)).has_value());
    for (int i = 0; i < 6; ++i)
        rows[16 + i] = static_cast<std::uint8_t>(i);
    store_be_f64(rows.data() + 22, -2.0);
    ASSERT_TRUE(b.encode_descriptor(1, 1, 6, std::span(rows).subspan(30, 8)).has_value());
    const Bytes heap = {0, 1, 0, 2, 0xFF, 0xFD, 0, 9};
    auto t = std::move(b).build(2, rows, heap);
    ASSERT_TRUE(t.has_value()) << t.error().message();
    EXPECT_EQ(cards(t->header),
              (std::vector<std::string>{"XTENSION=BINTABLE", "BITPIX=8", "NAXIS=2", "NAXIS1=22",
                                        "NAXIS2=2", "PCOUNT=8", "GCOUNT=1", "TFIELDS=3",
                                        "TTYPE1=TIME", "TFORM1=1D", "TUNIT1=s", "TTYPE2=SPEC",
                                        "TFORM2=1PI(100)", "TTYPE3=IMG", "TFORM3=6B", "TDIM3=(3,2)",
                                        "THEAP=44", "EXTNAME=EVENTS"}));
    EXPECT_EQ(t->data.size(), 52u);

    TempDir dir;
    const FitsFile f = write_and_open(dir, std::move(*t).into_parts(), false);
    auto hdu = load_hdu(f, 1);
    ASSERT_TRUE(hdu.has_value()) << hdu.error().message();
    const auto* table = std::get_if<BinTableHdu>(&hdu->value);
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(table->columns.size(), 3u);
    auto spec1 = table->read_cell(1, table->columns[1]);
    ASSERT_TRUE(spec1.has_value()) << spec1.error().message();
    EXPECT_EQ(spec1->debug(), "Vla(Int([Some(9)]))");
    auto spec0 = table->read_cell(0, table->columns[1]);
    ASSERT_TRUE(spec0.has_value());
    EXPECT_EQ(spec0->debug(), "Vla(Int([Some(1), Some(2), Some(-3)]))");
    auto time1 = table->read_cell(1, table->columns[0]);
    ASSERT_TRUE(time1.has_value());
    EXPECT_EQ(time1->debug(), "F64([-2.0])");
}

TEST(BinTableBuilder, HeapAndTheapSizes) {
    BinTableBuilder b;
    ASSERT_TRUE(
        b.add_vla_column("v", BinKind::P, BinKind::Byte, std::nullopt, std::nullopt).has_value());
    Bytes rows(80, 0);
    for (std::uint64_t r = 0; r < 10; ++r) {
        ASSERT_TRUE(
            b.encode_descriptor(0, 4, 4 * r, std::span(rows).subspan(8 * r, 8)).has_value());
    }
    auto t = std::move(b).build(10, rows, Bytes(40, 7));
    ASSERT_TRUE(t.has_value()) << t.error().message();
    EXPECT_EQ(t->header.get_i64("PCOUNT"), 40);
    EXPECT_EQ(t->header.get_i64("THEAP"), 80);
    EXPECT_EQ(t->data.size(), 120u);
}

TEST(BinTableBuilder, BuildRefusals) {
    struct Case {
        const char* name;
        std::uint64_t n_rows;
        std::size_t row_bytes;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"9 rows of bytes for 10", 10, 72,
         "data: BinTableBuilder: row data is 72 bytes; expected 10 rows x 8 bytes = 80"},
        {"too many bytes", 1, 9,
         "data: BinTableBuilder: row data is 9 bytes; expected 1 rows x 8 bytes = 8"},
        {"size overflow", 1ull << 62, 0, "data: row x column count overflowed usize"},
    };
    for (const Case& c : cases) {
        BinTableBuilder b;
        ASSERT_TRUE(b.add_column("x", BinKind::F64, 1, std::nullopt, std::nullopt).has_value());
        const auto r = std::move(b).build(c.n_rows, Bytes(c.row_bytes), {});
        ASSERT_FALSE(r.has_value()) << c.name;
        EXPECT_EQ(r.error().message(), c.message) << c.name;
    }
    // The card formatter's refusal is returned unchanged.
    BinTableBuilder bad;
    ASSERT_TRUE(
        bad.add_column("caf\xC3\xA9", BinKind::Byte, 1, std::nullopt, std::nullopt).has_value());
    const auto r = std::move(bad).build(0, {}, {});
    EXPECT_FALSE(r.has_value());
}

// Descriptors are never wrapped: what a P descriptor cannot hold is refused, naming the
// column, both when encoding one and when a table is built from rows that hold one.
TEST(BinTableBuilder, DescriptorRange) {
    BinTableBuilder b;
    ASSERT_TRUE(b.add_column("n", BinKind::I32, 1, std::nullopt, std::nullopt).has_value());
    ASSERT_TRUE(
        b.add_vla_column("flux", BinKind::P, BinKind::F32, std::nullopt, std::nullopt).has_value());
    ASSERT_TRUE(
        b.add_vla_column("big", BinKind::Q, BinKind::F64, std::nullopt, std::nullopt).has_value());
    std::uint8_t cell[16] = {};

    struct Case {
        std::size_t column;
        std::uint64_t count;
        std::uint64_t offset;
        std::string message;  // empty: accepted
    };
    const std::vector<Case> cases = {
        {1, 0x7FFFFFFF, 0x7FFFFFFF, ""},
        {1, 0x80000000, 0,
         "data: BinTableBuilder: column `flux` (col 2): array of 2147483648 elements at heap "
         "offset 0 is beyond the reach of P descriptors (at most 2147483647); use a Q column"},
        {1, 1, 0x100000000,
         "data: BinTableBuilder: column `flux` (col 2): array of 1 elements at heap offset "
         "4294967296 is beyond the reach of P descriptors (at most 2147483647); use a Q column"},
        {2, 0x80000000, 0x100000000, ""},
        {2, 1ull << 63, 0,
         "data: BinTableBuilder: column `big` (col 3): array of 9223372036854775808 elements at "
         "heap offset 0 is beyond the reach of Q descriptors"},
        {0, 1, 0, "data: BinTableBuilder: column 1 is not a variable-length column"},
        {3, 1, 0, "data: BinTableBuilder: column 4 is not a variable-length column"},
    };
    for (const Case& c : cases) {
        const auto r = b.encode_descriptor(c.column, c.count, c.offset, cell);
        if (c.message.empty()) {
            EXPECT_TRUE(r.has_value()) << r.error().message();
        } else {
            ASSERT_FALSE(r.has_value()) << c.message;
            EXPECT_EQ(r.error().message(), c.message);
        }
    }
    ASSERT_TRUE(b.encode_descriptor(1, 0x01020304, 0x05060708, cell).has_value());
    EXPECT_EQ(Bytes(cell, cell + 8), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    ASSERT_TRUE(b.encode_descriptor(2, 2, 0x0102, cell).has_value());
    EXPECT_EQ(Bytes(cell, cell + 16), (Bytes{0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 1, 2}));
    std::uint8_t small[7] = {};
    EXPECT_FALSE(b.encode_descriptor(1, 1, 0, small).has_value());
}

TEST(BinTableBuilder, BuildChecksDescriptorsInRows) {
    struct Case {
        const char* name;
        std::uint32_t p_count, p_offset;
        std::uint64_t q_count, q_offset;
        std::string message;
    };
    // Heap of 16 bytes; P holds F32 elements (4 bytes), Q holds I16 elements (2 bytes).
    const std::vector<Case> cases = {
        {"in range", 4, 0, 8, 0, ""},
        {"empty arrays anywhere", 0, 99, 0, 1000, ""},
        {"P count wrapped negative", 0x80000001u, 0, 0, 0,
         "data: BinTableBuilder: column `p` (col 1) row 1: P descriptor (n=2147483649, off=0) "
         "exceeds the signed 32-bit range"},
        {"P offset wrapped negative", 1, 0xFFFFFFF0u, 0, 0,
         "data: BinTableBuilder: column `p` (col 1) row 1: P descriptor (n=1, off=4294967280) "
         "exceeds the signed 32-bit range"},
        {"P past the heap", 2, 12, 0, 0,
         "data: BinTableBuilder: column `p` (col 1) row 1: P descriptor (n=2, off=12) points "
         "outside the 16-byte heap"},
        {"Q negative", 0, 0, 1ull << 63, 0,
         "data: BinTableBuilder: column `q` (col 2) row 1: Q descriptor "
         "(n=9223372036854775808, off=0) exceeds the signed 64-bit range"},
        {"Q past the heap", 0, 0, 1, 15,
         "data: BinTableBuilder: column `q` (col 2) row 1: Q descriptor (n=1, off=15) points "
         "outside the 16-byte heap"},
    };
    for (const Case& c : cases) {
        BinTableBuilder b;
        ASSERT_TRUE(b.add_vla_column("p", BinKind::P, BinKind::F32, std::nullopt, std::nullopt)
                        .has_value());
        ASSERT_TRUE(b.add_vla_column("q", BinKind::Q, BinKind::I16, std::nullopt, std::nullopt)
                        .has_value());
        Bytes rows(48, 0);  // row 0 all zero; row 1 under test
        store_be_u32(rows.data() + 24, c.p_count);
        store_be_u32(rows.data() + 28, c.p_offset);
        store_be_u64(rows.data() + 32, c.q_count);
        store_be_u64(rows.data() + 40, c.q_offset);
        const auto r = std::move(b).build(2, rows, Bytes(16, 0));
        if (c.message.empty()) {
            EXPECT_TRUE(r.has_value()) << c.name << ": " << r.error().message();
        } else {
            ASSERT_FALSE(r.has_value()) << c.name;
            EXPECT_EQ(r.error().message(), c.message) << c.name;
        }
    }
}

// A heap larger than P descriptors can reach is refused for a table with a P column (a
// caller's 32-bit offsets would have wrapped), and accepted for Q columns only. The heap is
// a reserved, never-touched mapping, so no memory is used.
TEST(BinTableBuilder, HeapBeyondPReach) {
    const std::size_t len = std::size_t{1} << 31;
    void* map = ::mmap(nullptr, len, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    const ByteSpan heap(static_cast<const std::uint8_t*>(map), len);
    BinTableBuilder b;
    ASSERT_TRUE(b.add_column("id", BinKind::I16, 1, std::nullopt, std::nullopt).has_value());
    ASSERT_TRUE(
        b.add_vla_column("arr", BinKind::P, BinKind::Byte, std::nullopt, std::nullopt).has_value());
    const auto r = std::move(b).build(0, {}, heap);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(),
              "data: BinTableBuilder: column `arr` (col 2): heap of 2147483648 bytes is beyond "
              "the reach of P descriptors (at most 2147483647 bytes); use a Q column");
    ::munmap(map, len);
}

// ================================ ASCII tables ================================

using Ints = std::vector<std::optional<std::int64_t>>;
using Reals = std::vector<double>;
using Texts = std::vector<std::string>;

AsciiFormat fmt(AsciiFormat::Kind k, std::uint64_t w, std::uint64_t d = 0) {
    return {k, w, d};
}
constexpr auto A = AsciiFormat::Kind::A;
constexpr auto I = AsciiFormat::Kind::I;
constexpr auto F = AsciiFormat::Kind::F;
constexpr auto E = AsciiFormat::Kind::E;
constexpr auto D = AsciiFormat::Kind::D;

TEST(AsciiTableBuilder, TformTexts) {
    EXPECT_EQ(ascii_tform_text(fmt(A, 12)), "A12");
    EXPECT_EQ(ascii_tform_text(fmt(I, 6)), "I6");
    EXPECT_EQ(ascii_tform_text(fmt(F, 10, 3)), "F10.3");
    EXPECT_EQ(ascii_tform_text(fmt(E, 15, 7)), "E15.7");
    EXPECT_EQ(ascii_tform_text(fmt(D, 25, 17)), "D25.17");
}

TEST(AsciiTableBuilder, LayoutHeaderAndFields) {
    AsciiTableBuilder b;
    b.extname = "CAT";
    ASSERT_TRUE(b.add_column("NAME", fmt(A, 5), Texts{"ab", "hello"}).has_value());
    ASSERT_TRUE(b.add_column("N", fmt(I, 3), Ints{42, std::nullopt}).has_value());
    ASSERT_TRUE(b.tnull("-9").has_value());
    ASSERT_TRUE(b.add_column("X", fmt(F, 8, 2), Reals{3.14159, -0.005}).has_value());
    ASSERT_TRUE(b.unit("m").has_value());
    ASSERT_TRUE(b.unit("km").has_value());  // the second unit wins
    auto t = std::move(b).build();
    ASSERT_TRUE(t.has_value()) << t.error().message();
    EXPECT_EQ(cards(t->header),
              (std::vector<std::string>{
                  "XTENSION=TABLE", "BITPIX=8",    "NAXIS=2",   "NAXIS1=16",   "NAXIS2=2",
                  "PCOUNT=0",       "GCOUNT=1",    "TFIELDS=3", "TTYPE1=NAME", "TFORM1=A5",
                  "TBCOL1=1",       "TTYPE2=N",    "TFORM2=I3", "TBCOL2=6",    "TNULL2=-9",
                  "TTYPE3=X",       "TFORM3=F8.2", "TBCOL3=9",  "TUNIT3=km",   "EXTNAME=CAT"}));
    EXPECT_EQ(std::string(as_chars(t->data.span())), "ab    42    3.14hello-9    -0.01");

    TempDir dir;
    const FitsFile f = write_and_open(dir, std::move(*t).into_parts(), false);
    auto hdu = load_hdu(f, 1);
    ASSERT_TRUE(hdu.has_value()) << hdu.error().message();
    const auto* table = std::get_if<AsciiTableHdu>(&hdu->value);
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(table->columns.size(), 3u);
    EXPECT_EQ(table->read_cell(1, table->columns[0]).value(), AsciiValue{std::string("hello")});
    EXPECT_EQ(table->read_cell(0, table->columns[1]).value(), AsciiValue{std::int64_t{42}});
    EXPECT_EQ(table->read_cell(1, table->columns[1]).value(), std::nullopt);
    EXPECT_EQ(table->read_cell(0, table->columns[2]).value(), AsciiValue{3.14});
}

std::string render_one(AsciiFormat f, AsciiColumnValues v, std::optional<std::string> tnull,
                       std::string* error) {
    AsciiTableBuilder b;
    if (!b.add_column("c", f, std::move(v)).has_value()) return "<add failed>";
    if (tnull && !b.tnull(*tnull).has_value()) return "<tnull failed>";
    auto t = std::move(b).build();
    if (!t) {
        *error = t.error().message();
        return "";
    }
    return std::string(as_chars(t->data.span()));
}

TEST(AsciiTableBuilder, CellRendering) {
    struct Case {
        AsciiFormat format;
        AsciiColumnValues values;
        std::optional<std::string> tnull;
        std::string field;    // the rendered row, or
        std::string message;  // the build error
    };
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<Case> cases = {
        {fmt(A, 5), Texts{"ab"}, {}, "ab   ", ""},
        {fmt(A, 3), Texts{"abc"}, {}, "abc", ""},
        {fmt(A, 0), Texts{""}, {}, "", ""},
        {fmt(I, 5), Ints{42}, {}, "   42", ""},
        {fmt(I, 5), Ints{-1234}, {}, "-1234", ""},
        // A null field is the TNULL text left-justified, as readers compare it.
        {fmt(I, 5), Ints{std::nullopt}, "-99", "-99  ", ""},
        {fmt(F, 8, 2), Reals{3.14159}, {}, "    3.14", ""},
        {fmt(F, 6, 0), Reals{2.5}, {}, "    2.", ""},  // correctly rounded: ties to even
        {fmt(F, 6, 1), Reals{-0.0}, {}, "  -0.0", ""},
        {fmt(F, 6, 2),
         Reals{inf},
         {},
         "",
         "data: AsciiTableBuilder: column `c` row 0: inf has no ASCII table form (fields hold "
         "finite numbers only)"},
        {fmt(E, 12, 3), Reals{123.5}, {}, "     1.235E2", ""},
        {fmt(E, 8, 2), Reals{0.00125}, {}, " 1.25E-3", ""},
        {fmt(E, 5, 0), Reals{123.5}, {}, " 1.E2", ""},
        {fmt(D, 6, 0), Reals{-0.5}, {}, "-5.D-1", ""},
        {fmt(E, 8, 2), Reals{0.0}, {}, "  0.00E0", ""},
        {fmt(E, 8, 3),
         Reals{-1e-300},
         {},
         "",
         "data: AsciiTableBuilder: column `c` row 0: rendered `-1.000E-300` is 11 bytes, field "
         "width is 8"},
        {fmt(E, 6, 2),
         Reals{-inf},
         {},
         "",
         "data: AsciiTableBuilder: column `c` row 0: -inf has no ASCII table form (fields hold "
         "finite numbers only)"},
        {fmt(D, 12, 3), Reals{123.5}, {}, "     1.235D2", ""},
        {fmt(E, 6, 1), Reals{nan}, "NULL", "NULL  ", ""},
        {fmt(D, 6, 1), Reals{nan}, "*", "*     ", ""},
        {fmt(I, 5),
         Ints{123456},
         {},
         "",
         "data: AsciiTableBuilder: column `c` row 0: rendered `123456` is 6 bytes, field width is "
         "5"},
        {fmt(A, 3),
         Texts{"abcd"},
         {},
         "",
         "data: AsciiTableBuilder: column `c` row 0: string `abcd` exceeds A3"},
        {fmt(A, 3),
         Texts{"\xC3\xA9\xC3\xA9"},
         {},
         "",
         "data: AsciiTableBuilder: column `c` row 0: string `\xC3\xA9\xC3\xA9` exceeds A3"},
        {fmt(A, 3),
         Texts{"\xC3\xA9"},
         {},
         "",
         "data: AsciiTableBuilder: column `c` row 0: rendered `\xC3\xA9  ` is 4 bytes, field width "
         "is 3"},
        {fmt(I, 5),
         Ints{std::nullopt},
         {},
         "",
         "data: AsciiTableBuilder: column `c` row 0 is undefined but no TNULL is set; Sec.7.2.5 "
         "reads a blank numeric field as zero, so an undefined value needs a TNULLn sentinel"},
        {fmt(I, 5), Ints{std::nullopt}, "-99999", "",
         "data: AsciiTableBuilder: column `c`: TNULL `-99999` exceeds the 5-character field"},
        {fmt(F, 4, 1), Reals{nan}, "\xC3\xA9\xC3\xA9", "",
         "data: AsciiTableBuilder: column `c` row 0: rendered `\xC3\xA9\xC3\xA9  ` is 6 bytes, "
         "field width is 4"},
    };
    for (const Case& c : cases) {
        std::string error;
        const std::string got = render_one(c.format, c.values, c.tnull, &error);
        EXPECT_EQ(got, c.field) << ascii_tform_text(c.format);
        EXPECT_EQ(error, c.message) << ascii_tform_text(c.format);
    }
}

TEST(AsciiTableBuilder, RowNumbersInMessagesCountFromZero) {
    AsciiTableBuilder b;
    ASSERT_TRUE(b.add_column("v", fmt(I, 4), Ints{1, 2, std::nullopt}).has_value());
    const auto r = std::move(b).build();
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(),
              "data: AsciiTableBuilder: column `v` row 2 is undefined but no TNULL is set; "
              "Sec.7.2.5 reads a blank numeric field as zero, so an undefined value needs a "
              "TNULLn sentinel");
}

TEST(AsciiTableBuilder, AddUnitAndTnullRefusals) {
    AsciiTableBuilder b;
    struct Case {
        Result<AsciiTableBuilder*> result;
        std::string message;
    };
    std::vector<Case> cases;
    cases.push_back({b.unit("m"), "data: unit: no column added yet"});
    cases.push_back({b.tnull("0"), "data: tnull: no column added yet"});
    cases.push_back({b.add_column("s", fmt(I, 6), Texts{"a"}),
                     "data: AsciiTableBuilder: column `s`: data kind does not match format I(6)"});
    cases.push_back(
        {b.add_column("i", fmt(E, 15, 7), Ints{1}),
         "data: AsciiTableBuilder: column `i`: data kind does not match format E(15, 7)"});
    cases.push_back({b.add_column("r", fmt(A, 12), Reals{1}),
                     "data: AsciiTableBuilder: column `r`: data kind does not match format A(12)"});
    cases.push_back({b.add_column("r", fmt(I, 3), Reals{1}),
                     "data: AsciiTableBuilder: column `r`: data kind does not match format I(3)"});
    cases.push_back(
        {b.add_column("t", fmt(F, 10, 3), Texts{"x"}),
         "data: AsciiTableBuilder: column `t`: data kind does not match format F(10, 3)"});
    cases.push_back(
        {b.add_column("t", fmt(D, 25, 17), Texts{"x"}),
         "data: AsciiTableBuilder: column `t`: data kind does not match format D(25, 17)"});
    for (const Case& c : cases) {
        ASSERT_FALSE(c.result.has_value()) << c.message;
        EXPECT_EQ(c.result.error().message(), c.message);
    }
    EXPECT_TRUE(b.columns.empty());
    ASSERT_TRUE(b.add_column("name", fmt(A, 4), Texts{"x"}).has_value());
    const auto on_a = b.tnull("-");
    ASSERT_FALSE(on_a.has_value());
    EXPECT_EQ(on_a.error().message(),
              "data: AsciiTableBuilder::tnull: TNULL is not meaningful for `A` columns");
    EXPECT_EQ(b.columns.back().tnull, std::nullopt);
    // A TNULL wider than the field is only refused when an undefined cell needs it.
    ASSERT_TRUE(b.add_column("n", fmt(I, 2), Ints{5}).has_value());
    ASSERT_TRUE(b.tnull("-99999").has_value());
    EXPECT_TRUE(std::move(b).build().has_value());
}

TEST(AsciiTableBuilder, BuildRefusals) {
    const auto none = AsciiTableBuilder{}.build();
    ASSERT_FALSE(none.has_value());
    EXPECT_EQ(none.error().message(), "data: AsciiTableBuilder: at least one column is required");

    AsciiTableBuilder b;
    ASSERT_TRUE(b.add_column("a", fmt(I, 3), Ints{1, 2, 3}).has_value());
    ASSERT_TRUE(b.add_column("b", fmt(F, 5, 1), Reals{1, 2}).has_value());
    const auto rows = std::move(b).build();
    ASSERT_FALSE(rows.has_value());
    EXPECT_EQ(rows.error().message(), "data: AsciiTableBuilder: column `b` has 2 rows; expected 3");

    AsciiTableBuilder wide;
    ASSERT_TRUE(wide.add_column("w", fmt(F, 10, 70000), Reals{1}).has_value());
    const auto too_wide = std::move(wide).build();
    ASSERT_FALSE(too_wide.has_value());
    EXPECT_EQ(too_wide.error().kind, Error::Kind::Data);
}

TEST(AsciiTableBuilder, EmptyColumnsBuildNoRows) {
    AsciiTableBuilder b;
    ASSERT_TRUE(b.add_column("a", fmt(A, 4), Texts{}).has_value());
    ASSERT_TRUE(b.add_column("b", fmt(E, 10, 2), Reals{}).has_value());
    auto t = std::move(b).build();
    ASSERT_TRUE(t.has_value()) << t.error().message();
    EXPECT_EQ(t->header.get_i64("NAXIS2"), 0);
    EXPECT_EQ(t->header.get_i64("NAXIS1"), 14);
    EXPECT_TRUE(t->data.empty());
}

TEST(UserCards, ReservedCardsLendOnlyTheirComments) {
    Header built = Header::new_primary();
    ASSERT_TRUE(built.set("BITPIX", Value::make_integer(16), std::nullopt));
    ASSERT_TRUE(built.set("NAXIS", Value::make_integer(0), std::nullopt));
    Header user;
    ASSERT_TRUE(user.set("BITPIX", Value::make_integer(-64), std::string("my bits")));
    ASSERT_TRUE(user.set("NAXIS1", Value::make_integer(9), std::string("no such card")));
    ASSERT_TRUE(user.set("CHECKSUM", Value::make_string("0000"), std::string("stale")));
    ASSERT_TRUE(user.set("OBJECT", Value::make_string("m31"), std::nullopt));
    merge_user_header(built, user);
    EXPECT_EQ(cards(built), (std::vector<std::string>{"SIMPLE=T", "BITPIX=16", "NAXIS=0",
                                                      "EXTEND=T", "OBJECT=m31"}));
    EXPECT_EQ(built.get("BITPIX")->comment(), "my bits");
}

// Cards that describe a table or random groups make an image invalid: a user header holding
// one is refused, naming the first.
TEST(UserCards, CardsOfAnotherKindOfHduAreRefusedForAnImage) {
    for (const char* key : {"TFIELDS", "THEAP", "GROUPS", "TTYPE1", "TFORM12", "TBCOL3", "TDIM2",
                            "TNULL1", "TSCAL9", "TZERO1", "TDISP1", "PTYPE1", "PSCAL2", "PZERO3"}) {
        EXPECT_TRUE(is_other_kind_keyword(key)) << key;
    }
    for (const char* key : {"TFORM", "TTYPEX", "TUNIT1", "OBJECT", "NAXIS1", "BZERO", "PCOUNT",
                            "TELESCOP", "PTYPE"}) {
        EXPECT_FALSE(is_other_kind_keyword(key)) << key;
    }
    Header user;
    ASSERT_TRUE(user.set("OBJECT", Value::make_string("m31"), std::nullopt));
    EXPECT_EQ(image_user_header_refusal(user), std::nullopt);
    ASSERT_TRUE(user.add_commentary(CommentaryKind::Comment, "TFORM1 = 'J'"));
    EXPECT_EQ(image_user_header_refusal(user), std::nullopt);
    ASSERT_TRUE(user.set("TTYPE1", Value::make_string("TIME"), std::nullopt));
    ASSERT_TRUE(user.set("TFORM1", Value::make_string("D"), std::nullopt));
    EXPECT_EQ(image_user_header_refusal(user),
              "header card TTYPE1 belongs to a table or random-groups HDU and cannot go on an "
              "image");
}

TEST(UserCards, OffsetCardsReplaceTheUsersInPlace) {
    Header user;
    ASSERT_TRUE(user.set("BSCALE", Value::make_real(2.0), std::string("kept")));
    ASSERT_TRUE(user.set("OBJECT", Value::make_string("m31"), std::nullopt));
    ASSERT_TRUE(user.push_card("BZERO", Value::make_real(5.0), std::nullopt));
    ASSERT_TRUE(user.push_card("BZERO", Value::make_real(6.0), std::nullopt));
    ASSERT_TRUE(add_unsigned_offset_cards(user, 32768.0));
    EXPECT_EQ(cards(user), (std::vector<std::string>{"BSCALE=1", "OBJECT=m31", "BZERO=32768"}));
    EXPECT_EQ(user.get("BSCALE")->comment(), "kept");

    Header bytes;
    ASSERT_TRUE(add_unsigned_offset_cards(bytes, -128.0));
    EXPECT_EQ(cards(bytes), (std::vector<std::string>{"BZERO=-128", "BSCALE=1"}));
    EXPECT_EQ(bytes.get("BZERO")->comment(), "offset for unsigned/signed convention");
}

// How an image stores its pixels decides what becomes of the user's scaling cards: the
// offset convention replaces them, floating-point pixels drop them, other integers keep them.
TEST(UserCards, ScalingCardsFollowHowThePixelsAreStored) {
    const auto user = [] {
        Header h;
        EXPECT_TRUE(h.set("BZERO", Value::make_real(3.0), std::nullopt));
        EXPECT_TRUE(h.set("OBJECT", Value::make_string("m31"), std::nullopt));
        EXPECT_TRUE(h.set("BSCALE", Value::make_real(2.0), std::nullopt));
        EXPECT_TRUE(h.set("BLANK", Value::make_integer(-1), std::nullopt));
        return h;
    };
    struct Case {
        Bitpix stored;
        std::optional<double> offset;
        std::vector<std::string> kept;
    };
    const std::vector<std::string> all = {"BZERO=3", "OBJECT=m31", "BSCALE=2", "BLANK=-1"};
    const Case cases[] = {
        {Bitpix::U8, std::nullopt, all},
        {Bitpix::I16, std::nullopt, all},
        {Bitpix::I64, std::nullopt, all},
        {Bitpix::F32, std::nullopt, {"OBJECT=m31"}},
        {Bitpix::F64, std::nullopt, {"OBJECT=m31"}},
        {Bitpix::I16, 32768.0, {"BZERO=32768", "OBJECT=m31", "BSCALE=1", "BLANK=-1"}},
        {Bitpix::U8, -128.0, {"BZERO=-128", "OBJECT=m31", "BSCALE=1", "BLANK=-1"}},
    };
    for (const Case& c : cases) {
        Header h = user();
        ASSERT_TRUE(fit_user_scaling_cards(h, c.stored, c.offset));
        EXPECT_EQ(cards(h), c.kept) << type_name(c.stored);
    }
}

// Character cells hold printable ASCII only; the first cell with another byte is named.
TEST(CharacterCells, OnlyPrintableAsciiIsAccepted) {
    const auto refusal = [](std::vector<std::string> cells) {
        return non_ascii_cell_refusal(cells).value_or("<fine>");
    };
    const std::string prefix =
        "character columns are restricted to ASCII 32-126 (Standard Sec.7.2.5); found byte 0x";
    EXPECT_EQ(refusal({}), "<fine>");
    EXPECT_EQ(refusal({"", " ~", "abc XYZ 0123 !?"}), "<fine>");
    EXPECT_EQ(refusal({"ok", "caf\xC3\xA9", "\x7F"}), prefix + "C3 in \"caf\xC3\xA9\"");
    EXPECT_EQ(refusal({"a", "tab\there"}), prefix + "09 in \"tab\\there\"");
    EXPECT_EQ(refusal({"del\x7F"}), prefix + "7F in \"del\\u{7f}\"");
    EXPECT_EQ(refusal({std::string("nul\0", 4)}), prefix + "00 in \"nul\\0\"");
}

}  // namespace
}  // namespace vexlo
