#include "io/file.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "header/card.hpp"
#include "util/text.hpp"

namespace vexlo {

namespace {

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

std::unexpected<Error> fail(Error e) {
    return std::unexpected(std::move(e));
}

bool mul_overflows(std::uint64_t a, std::uint64_t b, std::uint64_t& out) {
    return __builtin_mul_overflow(a, b, &out);
}
bool add_overflows(std::uint64_t a, std::uint64_t b, std::uint64_t& out) {
    return __builtin_add_overflow(a, b, &out);
}

std::string num(std::uint64_t v) {
    return std::to_string(v);
}

Error index_error(std::size_t index, std::size_t len) {
    return Error::header("HDU index " + num(index) + " out of range (len = " + num(len) + ")");
}

Error out_of_memory() {
    return Error::io_errno(ENOMEM);
}

// ---- gzip ----

constexpr std::size_t kGzipInputChunk = 32768;

bool starts_gzip(ByteSpan b) {
    return b.size() >= 2 && b[0] == 0x1F && b[1] == 0x8B;
}

struct Inflater {
    z_stream zs{};
    bool live = false;
    ~Inflater() {
        if (live) inflateEnd(&zs);
    }
};

Error gzip_error(const z_stream& zs, const char* fallback) {
    return Error::io(std::string("gzip: ") + (zs.msg != nullptr ? zs.msg : fallback));
}

Result<Bytes> gunzip_first_member(ByteSpan in) {
    Inflater inf;
    // 16 + 15: a gzip wrapper (no zlib or raw deflate fallback), 32 KiB window.
    const int init = inflateInit2(&inf.zs, 16 + 15);
    if (init != Z_OK) return fail(gzip_error(inf.zs, "cannot initialise the decoder"));
    inf.live = true;

    Bytes out;
    try {
        const std::size_t guess =
            in.size() <= std::numeric_limits<std::size_t>::max() / 4 ? in.size() * 4 : in.size();
        out.resize(std::max<std::size_t>(guess, 4096));
    } catch (const std::bad_alloc&) {
        return fail(out_of_memory());
    }
    std::size_t in_pos = 0;
    std::size_t have = 0;
    for (;;) {
        if (inf.zs.avail_in == 0 && in_pos < in.size()) {
            const std::size_t n = std::min(kGzipInputChunk, in.size() - in_pos);
            // zlib takes a non-const pointer but never writes through it.
            inf.zs.next_in = const_cast<Bytef*>(in.data() + in_pos);
            inf.zs.avail_in = static_cast<uInt>(n);
            in_pos += n;
        }
        if (have == out.size()) {
            try {
                out.resize(out.size() + std::max<std::size_t>(out.size() / 2, 65536));
            } catch (const std::bad_alloc&) {
                return fail(out_of_memory());
            }
        }
        const std::size_t room = std::min<std::size_t>(out.size() - have, 1u << 30);
        inf.zs.next_out = out.data() + have;
        inf.zs.avail_out = static_cast<uInt>(room);
        const int rc = inflate(&inf.zs, Z_NO_FLUSH);
        have += room - inf.zs.avail_out;
        if (rc == Z_STREAM_END) break;  // end of the first member; anything after is ignored
        if (rc == Z_OK) continue;
        if (rc == Z_BUF_ERROR) {
            // No progress possible: more output room is made above; without more input the
            // stream ended early.
            if (inf.zs.avail_out != 0 && inf.zs.avail_in == 0 && in_pos >= in.size()) {
                return fail(Error::io("gzip: unexpected end of compressed stream"));
            }
            continue;
        }
        if (rc == Z_MEM_ERROR) return fail(out_of_memory());
        return fail(gzip_error(inf.zs, "corrupt compressed stream"));
    }
    out.resize(have);
    return out;
}

// ---- scanning ----

bool all_zero(const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (p[i] != 0) return false;
    }
    return true;
}

bool is_xtension(const std::uint8_t* p) {
    return std::memcmp(p, "XTENSION", 8) == 0;
}

// Size, placement and extent of one HDU whose header has been parsed at `b`.
struct Placed {
    DataSpan span;
    std::uint64_t end = 0;
};

Result<Placed> place_hdu(const Header& header, bool first, bool lenient, std::uint64_t b,
                         std::uint64_t header_len, std::uint64_t total) {
    if (first) {
        VEXLO_TRY(check_primary_header(header, lenient));
    } else {
        VEXLO_TRY(check_extension_header(header));
    }
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t data_len, data_section_size(header));
    const std::uint64_t padded = padded_len(data_len);
    std::uint64_t data_offset = 0;
    if (add_overflows(b, header_len, data_offset)) data_offset = kU64Max;
    std::uint64_t end = 0;
    if (add_overflows(data_offset, padded, end)) end = kU64Max;
    if (end > total) {
        const std::uint64_t remain = total > data_offset ? total - data_offset : 0;
        return fail(Error::block(data_offset, "HDU data section requires " + num(padded) +
                                                  " bytes but only " + num(remain) + " remain"));
    }
    return Placed{DataSpan{data_offset, data_len}, end};
}

// Reads header blocks of a plain file from `b` until the block holding END.
Result<Bytes> read_header_blocks(int fd, std::uint64_t b, std::uint64_t size, bool lenient) {
    Bytes buf;
    buf.reserve(2 * kFitsBlock);
    for (;;) {
        const std::uint64_t at = b + buf.size();
        if (at > size || size - at < kFitsBlock) {
            return fail(Error::block(at, "header truncated before END card"));
        }
        const std::size_t old = buf.size();
        try {
            buf.resize(old + kFitsBlock);
        } catch (const std::bad_alloc&) {
            return fail(out_of_memory());
        }
        VEXLO_TRY(pread_exact(fd, at, buf.data() + old, kFitsBlock));
        for (std::size_t i = 0; i < kCardsPerBlock; ++i) {
            const ByteSpan card(buf.data() + old + i * kCardLen, kCardLen);
            if (card_kind(card, lenient) == CardKind::End) return buf;
        }
    }
}

}  // namespace

std::uint64_t padded_len(std::uint64_t n) {
    const std::uint64_t rem = n % kFitsBlock;
    if (rem == 0) return n;
    std::uint64_t out = 0;
    if (add_overflows(n, kFitsBlock - rem, out)) return kU64Max;
    return out;
}

// ---- Backing ----

Backing Backing::file(Fd fd, std::uint64_t size) {
    Backing b;
    b.source = FileBacking{std::move(fd), size};
    return b;
}

Backing Backing::memory(Bytes buffer) {
    Backing b;
    b.source = std::move(buffer);
    return b;
}

std::uint64_t Backing::size() const {
    if (is_file()) return std::get<FileBacking>(source).size;
    return buffer().size();
}

// ---- DataCache ----

DataCache::DataCache(std::size_t n) : cells_(new std::atomic<Cell*>[n]), n_(n) {
    for (std::size_t i = 0; i < n; ++i)
        cells_[i].store(nullptr, std::memory_order_relaxed);
}

DataCache::DataCache(DataCache&& other) noexcept
    : cells_(std::move(other.cells_)), n_(std::exchange(other.n_, 0)) {}

DataCache& DataCache::operator=(DataCache&& other) noexcept {
    if (this != &other) {
        clear();
        cells_ = std::move(other.cells_);
        n_ = std::exchange(other.n_, 0);
    }
    return *this;
}

DataCache::~DataCache() {
    clear();
}

void DataCache::clear() noexcept {
    if (!cells_) return;
    for (std::size_t i = 0; i < n_; ++i)
        delete cells_[i].load(std::memory_order_acquire);
    cells_.reset();
    n_ = 0;
}

const DataCache::Cell* DataCache::get(std::size_t i) const {
    return cells_[i].load(std::memory_order_acquire);
}

const DataCache::Cell* DataCache::store(std::size_t i, std::unique_ptr<Cell> cell) const {
    Cell* expected = nullptr;
    Cell* mine = cell.get();
    if (cells_[i].compare_exchange_strong(expected, mine, std::memory_order_acq_rel,
                                          std::memory_order_acquire)) {
        cell.release();
        return mine;
    }
    return expected;  // another reader stored first; ours is dropped with `cell`
}

// ---- opening ----

Result<Bytes> gunzip_if_gzip(Bytes bytes) {
    if (!starts_gzip(bytes)) return bytes;
    return gunzip_first_member(bytes);
}

Result<Bytes> gunzip_and_pad(Bytes bytes) {
    VEXLO_ASSIGN_OR_RETURN(Bytes out, gunzip_if_gzip(std::move(bytes)));
    if (out.empty()) return fail(Error::block(0, "empty file"));
    const std::size_t rem = out.size() % kFitsBlock;
    if (rem != 0) {
        try {
            out.resize(out.size() + (kFitsBlock - rem), 0);
        } catch (const std::bad_alloc&) {
            return fail(out_of_memory());
        }
    }
    return out;
}

Result<FitsFile> FitsFile::open(const std::string& path, bool lenient) {
    std::uint8_t magic[2] = {0, 0};
    std::size_t got = 0;
    {
        VEXLO_ASSIGN_OR_RETURN(Fd fd, open_read(path));
        VEXLO_ASSIGN_OR_RETURN(got, read_once(fd.get(), magic, 2));
        if (got == 2 && magic[0] == 0x1F && magic[1] == 0x8B) {
            VEXLO_ASSIGN_OR_RETURN(Bytes whole, read_whole_file(fd.get()));
            fd.reset();
            VEXLO_ASSIGN_OR_RETURN(Bytes content, gunzip_and_pad(std::move(whole)));
            return scan_buffer(std::move(content), lenient);
        }
    }
    VEXLO_ASSIGN_OR_RETURN(Fd fd, open_read(path));
    return scan_file(std::move(fd), lenient);
}

Result<FitsFile> scan_file(Fd fd, bool lenient) {
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t size, file_size(fd.get()));
    std::vector<DataSpan> spans;
    std::vector<Bytes> headers;
    std::uint8_t chunk[kFitsBlock];
    std::uint64_t b = 0;
    bool first = true;
    while (b < size) {
        // Zero test: trailing zero fill ends the list of HDUs. At a real HDU start this
        // stops at the first byte.
        bool only_zero = true;
        bool head_zero = true;  // the first chunk at b held only zeros
        std::size_t head_len = 0;
        for (std::uint64_t pos = b; pos < size;) {
            const auto n =
                static_cast<std::size_t>(std::min<std::uint64_t>(kFitsBlock, size - pos));
            VEXLO_TRY(pread_exact(fd.get(), pos, chunk, n));
            const bool zero = all_zero(chunk, n);
            if (pos == b) {
                head_len = n;
                head_zero = zero;
            }
            if (!zero) {
                only_zero = false;
                break;
            }
            pos += n;
        }
        if (only_zero) break;
        if (!first) {
            if (size - b < 80) break;
            // `chunk` still holds the bytes at b unless they were all zeros.
            if (head_zero || head_len < 8 || !is_xtension(chunk)) break;
        }
        VEXLO_ASSIGN_OR_RETURN(Bytes blocks, read_header_blocks(fd.get(), b, size, lenient));
        VEXLO_ASSIGN_OR_RETURN(auto parsed, Header::parse(blocks, 0, lenient));
        const std::uint64_t header_len = std::min<std::uint64_t>(parsed.second, blocks.size());
        VEXLO_ASSIGN_OR_RETURN(const Placed placed,
                               place_hdu(parsed.first, first, lenient, b, header_len, size));
        blocks.resize(static_cast<std::size_t>(header_len));
        headers.push_back(std::move(blocks));
        spans.push_back(placed.span);
        first = false;
        if (placed.end >= size) break;
        b = placed.end;
    }
    return FitsFile::from_scan(Backing::file(std::move(fd), size), std::move(spans),
                               std::move(headers), lenient);
}

Result<FitsFile> scan_buffer(Bytes buffer, bool lenient) {
    const std::uint64_t n = buffer.size();
    std::vector<DataSpan> spans;
    std::vector<Bytes> headers;
    std::uint64_t b = 0;
    bool first = true;
    while (b < n) {
        const std::uint8_t* at = buffer.data() + b;
        if (all_zero(at, static_cast<std::size_t>(n - b))) break;
        if (!first && (n - b < 80 || !is_xtension(at))) break;
        VEXLO_ASSIGN_OR_RETURN(auto parsed, Header::parse(buffer, b, lenient));
        const std::uint64_t header_len = std::min<std::uint64_t>(parsed.second, n - b);
        VEXLO_ASSIGN_OR_RETURN(const Placed placed,
                               place_hdu(parsed.first, first, lenient, b, header_len, n));
        headers.emplace_back(at, at + header_len);
        spans.push_back(placed.span);
        first = false;
        if (placed.end >= n) break;
        b = placed.end;
    }
    return FitsFile::from_scan(Backing::memory(std::move(buffer)), std::move(spans),
                               std::move(headers), lenient);
}

Result<FitsFile> FitsFile::from_scan(Backing backing, std::vector<DataSpan> spans,
                                     std::vector<Bytes> headers, bool lenient) {
    if (spans.empty()) return fail(Error::header("file contains no HDU"));
    // Every later read trusts these two facts; a record assembled by hand must hold them
    // too.
    if (headers.size() != spans.size()) {
        return fail(Error::header("scan produced " + num(spans.size()) + " data spans but " +
                                  num(headers.size()) + " headers"));
    }
    for (std::size_t i = 0; i < spans.size(); ++i) {
        std::uint64_t end = 0;
        if (add_overflows(spans[i].data_offset, padded_len(spans[i].data_len), end) ||
            end > backing.size()) {
            return fail(Error::block(spans[i].data_offset,
                                     "HDU data section requires " +
                                         num(padded_len(spans[i].data_len)) + " bytes but only " +
                                         num(backing.size() > spans[i].data_offset
                                                 ? backing.size() - spans[i].data_offset
                                                 : 0) +
                                         " remain"));
        }
    }
    FitsFile f;
    for (std::size_t i = 0; i < headers.size(); ++i) {
        auto parsed = Header::parse(headers[i], 0, lenient);
        if (!parsed) continue;  // a header that does not parse simply has no name
        const std::optional<CardView> card = parsed->first.get("EXTNAME");
        if (!card) continue;
        const std::optional<ValueAndComment> vc = card->value_and_comment();
        if (!vc || !vc->value.is(Value::Kind::String)) continue;
        f.extnames[std::string(trim_ws_end(vc->value.text))].push_back(i);
    }
    f.data_cache = DataCache(spans.size());
    f.spans = std::move(spans);
    f.headers = std::move(headers);
    f.backing = std::move(backing);
    f.lenient = lenient;
    return f;
}

Result<void> check_primary_header(const Header& header, bool lenient) {
    const std::optional<CardView> card = header.get("SIMPLE");
    std::optional<ValueAndComment> vc;
    if (card) vc = card->value_and_comment();
    if (!vc) return fail(Error::missing_mandatory("SIMPLE"));
    if (!vc->value.is(Value::Kind::Logical)) {
        return fail(Error::value("SIMPLE", "SIMPLE must be Logical"));
    }
    if (vc->value.logical || lenient) return {};
    return fail(Error::non_standard(
        "SIMPLE = F (file does not conform to FITS); lenient parsing (the default) reads it "
        "anyway -- drop `.lenient(false)`"));
}

Result<void> check_extension_header(const Header& header) {
    const std::optional<CardView> card = header.get("XTENSION");
    std::optional<ValueAndComment> vc;
    if (card) vc = card->value_and_comment();
    if (!vc || !vc->value.is(Value::Kind::String)) {
        return fail(Error::missing_mandatory("XTENSION"));
    }
    return {};
}

Result<std::uint64_t> count_keyword(const Header& header, std::string_view keyword,
                                    std::uint64_t dflt) {
    const std::optional<std::int64_t> v = header.get_i64(keyword);
    if (!v) return dflt;
    if (*v < 0) {
        return fail(Error::value(
            std::string(keyword),
            std::string(keyword) + " must be non-negative, got " + std::to_string(*v)));
    }
    return static_cast<std::uint64_t>(*v);
}

Result<std::uint64_t> data_section_size(const Header& header) {
    VEXLO_ASSIGN_OR_RETURN(const std::int64_t bitpix_raw, header.bitpix());
    VEXLO_ASSIGN_OR_RETURN(const Bitpix bitpix, from_bitpix(bitpix_raw));
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t naxis, header.naxis());
    if (naxis == 0) return std::uint64_t{0};
    const bool groups = header.is_random_groups();
    std::uint64_t product = 1;
    for (std::uint64_t n = groups ? 2 : 1; n <= naxis; ++n) {
        VEXLO_ASSIGN_OR_RETURN(const std::uint64_t len, header.naxisn(n));
        if (len == 0) {
            if (!groups) return std::uint64_t{0};
            product = 0;
            break;
        }
        if (mul_overflows(product, len, product)) {
            return fail(Error::data("axis product overflows u64"));
        }
    }
    std::uint64_t pcount = 0;
    if (const std::optional<std::int64_t> p = header.get_i64("PCOUNT")) {
        if (*p < 0) {
            return fail(
                Error::value("PCOUNT", "PCOUNT must be non-negative, got " + std::to_string(*p)));
        }
        pcount = static_cast<std::uint64_t>(*p);
    }
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t gcount, count_keyword(header, "GCOUNT", 1));
    std::uint64_t size = 0;
    std::uint64_t elems = 0;
    if (mul_overflows(gcount, bytes_per_pixel(bitpix), size) ||
        add_overflows(pcount, product, elems) || mul_overflows(size, elems, size)) {
        return fail(Error::data("data size overflows u64"));
    }
    return size;
}

// ---- data access ----

Result<ByteSpan> FitsFile::data_bytes(std::size_t index) const {
    if (index >= spans.size()) return fail(index_error(index, spans.size()));
    const DataSpan& s = spans[index];
    if (s.data_len == 0) return ByteSpan{};
    if (!backing.is_file()) {
        return ByteSpan(backing.buffer())
            .subspan(static_cast<std::size_t>(s.data_offset), static_cast<std::size_t>(s.data_len));
    }
    const DataCache::Cell* cell = data_cache.get(index);
    if (cell == nullptr) {
        // The scan checked that the padded section lies inside the file.
        const std::uint64_t padded = padded_len(s.data_len);
        if (padded > std::numeric_limits<std::size_t>::max()) return fail(out_of_memory());
        auto fresh = std::make_unique<DataCache::Cell>();
        fresh->bytes.reset(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(padded)]);
        if (!fresh->bytes) return fail(out_of_memory());
        fresh->len = static_cast<std::size_t>(padded);
        VEXLO_TRY(pread_exact(backing.fd(), s.data_offset, fresh->bytes.get(), fresh->len));
        cell = data_cache.store(index, std::move(fresh));
    }
    return ByteSpan(cell->bytes.get(), static_cast<std::size_t>(s.data_len));
}

Result<Bytes> FitsFile::read_data(std::size_t index) const {
    if (index >= spans.size()) return fail(index_error(index, spans.size()));
    const DataSpan& s = spans[index];
    if (s.data_len > std::numeric_limits<std::size_t>::max()) return fail(out_of_memory());
    try {
        Bytes out(static_cast<std::size_t>(s.data_len));
        VEXLO_TRY(read_data_range_into(index, 0, out));
        return out;
    } catch (const std::bad_alloc&) {
        return fail(out_of_memory());
    }
}

Result<void> FitsFile::read_data_into(std::size_t index, std::span<std::uint8_t> dest) const {
    if (index >= spans.size()) return fail(index_error(index, spans.size()));
    const std::uint64_t len = spans[index].data_len;
    if (dest.size() != len) {
        return fail(Error::data("read_data_into: destination is " + num(dest.size()) +
                                " bytes, data section is " + num(len)));
    }
    return read_data_range_into(index, 0, dest);
}

Result<void> FitsFile::read_data_range_into(std::size_t index, std::uint64_t offset,
                                            std::span<std::uint8_t> dest) const {
    if (index >= spans.size()) return fail(index_error(index, spans.size()));
    const DataSpan& s = spans[index];
    std::uint64_t end = 0;
    if (add_overflows(offset, dest.size(), end) || end > s.data_len) {
        return fail(Error::data("read_data_range_into: [" + num(offset) + ", +" + num(dest.size()) +
                                ") escapes the " + num(s.data_len) + "-byte data section"));
    }
    std::uint64_t pos = 0;
    if (add_overflows(s.data_offset, offset, pos)) {
        return fail(Error::data("read_data_range_into: offset overflows the file"));
    }
    if (dest.empty()) return {};
    if (backing.is_file()) return pread_exact(backing.fd(), pos, dest.data(), dest.size());
    // The scan placed every data section inside the buffer.
    std::memcpy(dest.data(), backing.buffer().data() + pos, dest.size());
    return {};
}

Result<void> check_section(std::span<const std::uint64_t> axes,
                           std::span<const std::uint64_t> start,
                           std::span<const std::uint64_t> shape) {
    if (start.size() != axes.size() || shape.size() != axes.size()) {
        return fail(Error::data("start/shape have length " + num(start.size()) + "/" +
                                num(shape.size()) + ", expected NAXIS = " + num(axes.size())));
    }
    for (std::size_t k = 0; k < axes.size(); ++k) {
        std::uint64_t end = 0;
        const bool over = add_overflows(start[k], shape[k], end);
        if (over || end > axes[k]) {
            // An overflowing end is shown saturated.
            const std::string end_text = num(over ? kU64Max : end);
            return fail(Error::data("axis " + num(k) + " (NAXIS" + num(k + 1) + ") range " +
                                    num(start[k]) + ".." + end_text + " out of bounds (length " +
                                    num(axes[k]) + ")"));
        }
    }
    return {};
}

Result<std::vector<std::uint64_t>> axis_strides(std::span<const std::uint64_t> axes) {
    std::vector<std::uint64_t> strides(axes.size());
    std::uint64_t stride = 1;
    for (std::size_t k = 0; k < axes.size(); ++k) {
        strides[k] = stride;
        if (mul_overflows(stride, axes[k], stride)) {
            return fail(Error::data("axis stride overflows u64"));
        }
    }
    return strides;
}

bool next_run_index(std::span<std::uint64_t> index, std::span<const std::uint64_t> shape) {
    for (std::size_t k = 1; k < index.size() && k < shape.size(); ++k) {
        if (++index[k] < shape[k]) return true;
        index[k] = 0;
    }
    return false;
}

namespace {

// A checked section request: its byte length and, when non-empty, the axis strides.
struct SectionPlan {
    std::uint64_t len = 0;
    std::vector<std::uint64_t> strides;
};

Result<SectionPlan> plan_section(std::span<const std::uint64_t> axes,
                                 std::span<const std::uint64_t> start,
                                 std::span<const std::uint64_t> shape, Bitpix bitpix,
                                 std::uint64_t data_len) {
    // With no axes there is no element to index; refuse rather than read a phantom pixel.
    if (axes.empty()) {
        return fail(Error::data("section of an image with no axes (NAXIS = 0) is undefined"));
    }
    VEXLO_TRY(check_section(axes, start, shape));
    std::uint64_t count = 1;
    for (const std::uint64_t n : shape) {
        if (mul_overflows(count, n, count)) return fail(Error::data("shape product overflows u64"));
    }
    SectionPlan plan;
    if (mul_overflows(count, bytes_per_pixel(bitpix), plan.len) ||
        plan.len > std::numeric_limits<std::size_t>::max()) {
        return fail(Error::data("total bytes overflows usize"));
    }
    if (plan.len == 0) return plan;
    VEXLO_ASSIGN_OR_RETURN(plan.strides, axis_strides(axes));
    // The caller's axes must describe an image inside this data section; otherwise runs
    // would come from the next HDU, and a result sized by them could exceed the file.
    std::uint64_t image_bytes = 0;
    if (mul_overflows(plan.strides.back(), axes.back(), image_bytes) ||
        mul_overflows(image_bytes, bytes_per_pixel(bitpix), image_bytes) ||
        image_bytes > data_len) {
        return fail(Error::data("image axes describe more than the " + num(data_len) +
                                "-byte data section"));
    }
    return plan;
}

}  // namespace

Result<Bytes> FitsFile::read_section_bytes(std::size_t index, std::span<const std::uint64_t> axes,
                                           std::span<const std::uint64_t> start,
                                           std::span<const std::uint64_t> shape,
                                           Bitpix bitpix) const {
    if (index >= spans.size()) return fail(index_error(index, spans.size()));
    VEXLO_ASSIGN_OR_RETURN(const SectionPlan plan,
                           plan_section(axes, start, shape, bitpix, spans[index].data_len));
    try {
        Bytes out(static_cast<std::size_t>(plan.len));
        VEXLO_TRY(read_section_into(index, axes, start, shape, bitpix, out));
        return out;
    } catch (const std::bad_alloc&) {
        return fail(out_of_memory());
    }
}

Result<void> FitsFile::read_section_into(std::size_t index, std::span<const std::uint64_t> axes,
                                         std::span<const std::uint64_t> start,
                                         std::span<const std::uint64_t> shape, Bitpix bitpix,
                                         std::span<std::uint8_t> dest) const {
    if (index >= spans.size()) return fail(index_error(index, spans.size()));
    const DataSpan& s = spans[index];
    VEXLO_ASSIGN_OR_RETURN(const SectionPlan plan,
                           plan_section(axes, start, shape, bitpix, s.data_len));
    if (dest.size() != plan.len) {
        return fail(Error::data("read_section_into: destination is " + num(dest.size()) +
                                " bytes, section is " + num(plan.len)));
    }
    if (plan.len == 0) return {};
    const std::uint64_t bpp = bytes_per_pixel(bitpix);
    const auto run = static_cast<std::size_t>(shape[0] * bpp);
    std::vector<std::uint64_t> idx(axes.size(), 0);
    std::size_t written = 0;
    do {
        std::uint64_t elem = 0;
        for (std::size_t k = 0; k < axes.size(); ++k) {
            std::uint64_t term = 0;
            if (add_overflows(start[k], idx[k], term) ||
                mul_overflows(term, plan.strides[k], term) || add_overflows(elem, term, elem)) {
                return fail(Error::data("element offset overflows u64"));
            }
        }
        std::uint64_t pos = 0;
        if (mul_overflows(elem, bpp, pos) || add_overflows(pos, s.data_offset, pos)) {
            return fail(Error::data("byte offset overflows u64"));
        }
        if (backing.is_file()) {
            VEXLO_TRY(pread_exact(backing.fd(), pos, dest.data() + written, run));
        } else {
            const Bytes& buf = backing.buffer();
            std::uint64_t run_end = 0;
            if (add_overflows(pos, run, run_end) || run_end > buf.size()) {
                return fail(Error::data("row at byte " + num(pos) + ".." + num(run_end) +
                                        " exceeds buffer length " + num(buf.size())));
            }
            std::memcpy(dest.data() + written, buf.data() + pos, run);
        }
        written += run;
    } while (next_run_index(idx, shape));
    return {};
}

Result<std::optional<Bytes>> FitsFile::raw_hdu_bytes(std::size_t index) const {
    if (index >= spans.size()) return std::optional<Bytes>{};
    const DataSpan& s = spans[index];
    ByteSpan padded_data;
    if (s.data_len != 0) {
        const std::size_t padded = static_cast<std::size_t>(padded_len(s.data_len));
        if (backing.is_file()) {
            VEXLO_TRY(data_bytes(index));
            padded_data = ByteSpan(data_cache.get(index)->bytes.get(), padded);
        } else {
            padded_data =
                ByteSpan(backing.buffer()).subspan(static_cast<std::size_t>(s.data_offset), padded);
        }
    }
    try {
        Bytes out;
        out.reserve(headers[index].size() + padded_data.size());
        out.insert(out.end(), headers[index].begin(), headers[index].end());
        out.insert(out.end(), padded_data.begin(), padded_data.end());
        return std::optional<Bytes>(std::move(out));
    } catch (const std::bad_alloc&) {
        return fail(out_of_memory());
    }
}

}  // namespace vexlo
