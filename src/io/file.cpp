#include "io/file.hpp"

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "data/size.hpp"
#include "header/card.hpp"
#include "io/gzip.hpp"
#include "util/checked.hpp"
#include "util/memory.hpp"
#include "util/parallel.hpp"
#include "util/text.hpp"

namespace vexlo {

namespace {

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

// Reads source bytes [offset, offset + dest.size()) into `dest`; a large read is split into
// ranges of whole pieces over the cores, each thread reading its own. The first failure in
// order is returned.
Result<void> read_over_cores(const Source& source, std::uint64_t offset,
                             std::span<std::uint8_t> dest) {
    constexpr std::size_t kPiece = std::size_t{1} << 18;
    constexpr std::size_t kMinBytesPerPart = std::size_t{8} << 20;
    const std::size_t pieces = (dest.size() + kPiece - 1) / kPiece;
    const std::size_t parts = parts_for(dest.size(), kMinBytesPerPart);
    return run_ranges(
        parts, pieces, [&](std::size_t, std::uint64_t first, std::uint64_t count) -> Result<void> {
            const auto at = static_cast<std::size_t>(first * kPiece);
            const std::size_t n = std::min<std::size_t>(count * kPiece, dest.size() - at);
            return source.read_at(offset + at, dest.subspan(at, n));
        });
}

// ---- scanning ----

bool all_zero(const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (p[i] != 0) return false;
    }
    return true;
}

// The scan's reads of a file on disk, through one buffer. A run of small HDUs is read in
// growing steps instead of block by block, while a jump over a data section starts again
// with a small read, so that data is not read for nothing. Content already in memory is
// borrowed as it is.
class ScanWindow {
  public:
    explicit ScanWindow(const Source& src) : src_(src), all_(src.contents()) {}

    const Source& source() const { return src_; }

    // Bytes [offset, offset + n), all inside the source; valid until the next call.
    Result<ByteSpan> view(std::uint64_t offset, std::size_t n) {
        if (all_) return all_->subspan(static_cast<std::size_t>(offset), n);
        const std::uint64_t end = start_ + len_;
        if (offset >= start_ && offset <= end && n <= end - offset) {
            return ByteSpan(buf_.get() + (offset - start_), n);
        }
        const bool sequential = len_ > 0 && offset >= start_ && offset <= end;
        step_ = sequential ? std::min(step_ * 2, kMaxStep) : kMinStep;
        const std::size_t want = static_cast<std::size_t>(
            std::min<std::uint64_t>(std::max(n, step_), src_.size() - offset));
        len_ = 0;  // nothing valid until the read succeeds
        if (want > capacity_) {
            buf_.reset(new (std::nothrow) std::uint8_t[want]);
            capacity_ = buf_ ? want : 0;
            if (!buf_) return fail(Error::out_of_memory());
        }
        VEXLO_TRY(src_.read_at(offset, {buf_.get(), want}));
        start_ = offset;
        len_ = want;
        return ByteSpan(buf_.get(), n);
    }

  private:
    static constexpr std::size_t kMinStep = 2 * kBlockLen;
    static constexpr std::size_t kMaxStep = std::size_t{1} << 20;

    const Source& src_;
    std::optional<ByteSpan> all_;
    std::unique_ptr<std::uint8_t[]> buf_;
    std::size_t capacity_ = 0;
    std::uint64_t start_ = 0;
    std::size_t len_ = 0;
    std::size_t step_ = kMinStep;
};

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
    const std::uint64_t data_offset = checked_add(b, header_len).value_or(kU64Max);
    const std::uint64_t end = checked_add(data_offset, padded).value_or(kU64Max);
    if (end > total) {
        const std::uint64_t remain = total > data_offset ? total - data_offset : 0;
        return fail(Error::block(data_offset, "HDU data section requires " + str(padded) +
                                                  " bytes but only " + str(remain) + " remain"));
    }
    return Placed{DataSpan{data_offset, data_len}, end};
}

// The length of the header blocks at `b`, through the block holding END (a plain file's
// headers are found this way, without reading past them).
Result<std::uint64_t> header_blocks_len(ScanWindow& window, std::uint64_t b, bool lenient) {
    const std::uint64_t size = window.source().size();
    for (std::uint64_t len = 0;; len += kBlockLen) {
        const std::uint64_t at = b + len;
        if (at > size || size - at < kBlockLen) {
            return fail(Error::block(at, "header truncated before END card"));
        }
        VEXLO_ASSIGN_OR_RETURN(const ByteSpan block, window.view(at, kBlockLen));
        for (std::size_t i = 0; i < kCardsPerBlock; ++i) {
            // Only an image starting "END" in some letter case can be the END card; the
            // others need no reading here (the parse reads every card anyway).
            const ByteSpan card = block.subspan(i * kCardLen, kCardLen);
            if (ascii_istarts_with(as_chars(card), "END") &&
                card_kind(card, lenient) == CardKind::End) {
                return len + kBlockLen;
            }
        }
    }
}

// Bytes [b, b + len) of whole blocks, in storage of exactly that size: it is kept as long as
// the file is open.
Result<Bytes> read_exact_blocks(ScanWindow& window, std::uint64_t b, std::uint64_t len) {
    Bytes out;
    try {
        out.reserve(static_cast<std::size_t>(len));
    } catch (const std::bad_alloc&) {
        return fail(Error::out_of_memory());
    }
    for (std::uint64_t at = 0; at < len; at += kBlockLen) {
        VEXLO_ASSIGN_OR_RETURN(const ByteSpan block, window.view(b + at, kBlockLen));
        out.insert(out.end(), block.begin(), block.end());
    }
    return out;
}

// The header at `b`, and the rest of the blocks it occupies after its cards (the END card
// and the fill). Content held in memory (a decompressed gzip file) is parsed in place, where
// offsets in errors count from the start of the content; a file's blocks are read up to END
// first, and offsets count from the header's start. The cards are held once, in the header.
Result<std::pair<Header, Bytes>> read_header(ScanWindow& window, std::uint64_t b, bool lenient) {
    if (const std::optional<ByteSpan> all = window.source().contents()) {
        VEXLO_ASSIGN_OR_RETURN(auto parsed, Header::parse(*all, b, lenient));
        const std::uint64_t len = std::min<std::uint64_t>(parsed.second, all->size() - b);
        const std::size_t cards = parsed.first.bytes().size();
        const auto at = all->begin() + static_cast<std::ptrdiff_t>(b);
        return std::pair(std::move(parsed.first), Bytes(at + static_cast<std::ptrdiff_t>(cards),
                                                        at + static_cast<std::ptrdiff_t>(len)));
    }
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t len, header_blocks_len(window, b, lenient));
    VEXLO_ASSIGN_OR_RETURN(Bytes blocks, read_exact_blocks(window, b, len));
    return Header::parse_owned(std::move(blocks), lenient);
}

// The header's blocks as stored: its cards followed by the rest read_header gave.
Bytes stored_blocks(Header&& header, const Bytes& rest) {
    Bytes out = std::move(header).take_bytes();
    out.reserve(out.size() + rest.size());
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

// The EXTNAME a header is indexed under: its string value without trailing white space.
std::optional<std::string> extname_of(const Header& h) {
    const std::optional<CardView> card = h.get("EXTNAME");
    if (!card) return std::nullopt;
    const std::optional<ValueAndComment> vc = card->value_and_comment();
    if (!vc || !vc->value.is(Value::Kind::String)) return std::nullopt;
    return std::string(trim_ws_end(vc->value.text));
}

// What the scan finds at a possible HDU start.
struct Start {
    bool only_zeros = true;  // every byte from here to the end is zero: trailing fill
    bool head_zero = true;   // the first chunk holds only zeros
    ByteSpan head;           // that first chunk, when it is not all zeros
};

// Reads from `b` in chunks until the first non-zero byte; a real HDU start stops at once.
Result<Start> look_at(ScanWindow& window, std::uint64_t b) {
    const std::uint64_t size = window.source().size();
    Start st;
    for (std::uint64_t pos = b; pos < size;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kBlockLen, size - pos));
        VEXLO_ASSIGN_OR_RETURN(const ByteSpan got, window.view(pos, n));
        const bool zero = all_zero(got.data(), got.size());
        if (pos == b) {
            st.head_zero = zero;
            if (!zero) st.head = got;
        }
        if (!zero) {
            st.only_zeros = false;
            break;
        }
        pos += n;
    }
    return st;
}

}  // namespace

// ---- opening ----

Error hdu_index_error(std::size_t index, std::size_t len) {
    return Error::header("HDU index " + str(index) + " out of range (len = " + str(len) + ")");
}

Result<Bytes> gunzip_if_gzip(Bytes bytes) {
    if (!is_gzip(bytes)) return bytes;
    return gzip_inflate(bytes, std::numeric_limits<std::size_t>::max());
}

namespace {

// The first decoded block of a compressed file must start a primary header: zeros are no
// HDU at all and anything else lacks SIMPLE, so a large stream that is not FITS is refused
// after one block instead of after all of it.
Result<void> check_fits_start(ByteSpan first) {
    if (first.empty()) return {};  // reported as an empty file
    if (all_zero(first.data(), first.size())) return fail(Error::header("file contains no HDU"));
    if (first.size() < 8 || std::memcmp(first.data(), "SIMPLE  ", 8) != 0) {
        return fail(Error::missing_mandatory("SIMPLE"));
    }
    return {};
}

Result<Bytes> inflate_and_pad(Bytes bytes, bool check) {
    Bytes out;
    if (is_gzip(bytes)) {
        // One spare block keeps the zero fill below from moving the content.
        static const std::function<Result<void>(ByteSpan)> checker = check_fits_start;
        static const std::function<Result<void>(ByteSpan)> none = [](ByteSpan) {
            return Result<void>();
        };
        VEXLO_ASSIGN_OR_RETURN(
            out, gzip_inflate_checked(bytes, std::numeric_limits<std::size_t>::max(), kBlockLen,
                                      kBlockLen, check ? checker : none));
        Bytes().swap(bytes);
    } else {
        out = std::move(bytes);
    }
    if (out.empty()) return fail(Error::block(0, "empty file"));
    try {
        out.resize(static_cast<std::size_t>(padded_len(out.size())), 0);
    } catch (const std::bad_alloc&) {
        return fail(Error::out_of_memory());
    }
    return out;
}

// Whether `bytes` begin like an extension's header: behind the first HDU, the scan takes a
// block for a further HDU only when it does.
bool starts_like_extension(ByteSpan bytes) {
    return bytes.size() >= 8 && std::memcmp(bytes.data(), "XTENSION", 8) == 0;
}

// Whether `bytes` begin with the COMMENT card of the block an unfinished append leaves.
bool begins_unfinished_append(ByteSpan bytes) {
    if (bytes.size() < kCardLen || std::memcmp(bytes.data(), "COMMENT ", 8) != 0) return false;
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()) + 8, kCardLen - 8);
    return trim_ws(text) == kUnfinishedAppendNote;
}

}  // namespace

Result<Bytes> gunzip_and_pad(Bytes bytes) {
    return inflate_and_pad(std::move(bytes), false);
}

Result<FitsFile> FitsFile::open(const std::string& path, bool lenient) {
    // One descriptor serves the sniffing and the scan, so both see the same file.
    VEXLO_ASSIGN_OR_RETURN(Fd fd, open_regular_file(path));
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t size, file_size(fd.get()));
    std::uint8_t magic[2] = {0, 0};
    if (size >= 2) VEXLO_TRY(pread_exact(fd.get(), 0, magic, 2));
    if (is_gzip(ByteSpan(magic, size >= 2 ? 2 : 0))) {
        VEXLO_ASSIGN_OR_RETURN(Bytes whole, read_whole_file(fd.get()));
        fd.reset();
        VEXLO_ASSIGN_OR_RETURN(Bytes content, inflate_and_pad(std::move(whole), true));
        return scan_buffer(std::move(content), lenient);
    }
    return scan_source(std::make_unique<const FileSource>(std::move(fd), size), lenient);
}

Result<FitsFile> scan_buffer(Bytes buffer, bool lenient) {
    return scan_source(std::make_unique<const MemorySource>(std::move(buffer)), lenient);
}

Result<FitsFile> scan_source(std::unique_ptr<const Source> source, bool lenient) {
    const Source& src = *source;
    const std::uint64_t size = src.size();
    std::vector<DataSpan> spans;
    std::vector<Bytes> headers;
    ExtnameIndex names;
    ScanWindow window(src);
    std::uint64_t b = 0;
    bool first = true;
    while (b < size) {
        VEXLO_ASSIGN_OR_RETURN(const Start st, look_at(window, b));
        if (st.only_zeros) break;
        // Every HDU after the first must start with XTENSION; anything else is trailing
        // bytes.
        if (!first &&
            (size - b < 80 || st.head_zero || !starts_like_extension(st.head))) {
            break;
        }
        VEXLO_ASSIGN_OR_RETURN(auto header, read_header(window, b, lenient));
        const std::uint64_t header_len = header.first.bytes().size() + header.second.size();
        VEXLO_ASSIGN_OR_RETURN(const Placed placed,
                               place_hdu(header.first, first, lenient, b, header_len, size));
        if (std::optional<std::string> name = extname_of(header.first)) {
            names[std::move(*name)].push_back(headers.size());
        }
        headers.push_back(stored_blocks(std::move(header.first), header.second));
        spans.push_back(placed.span);
        first = false;
        if (placed.end >= size) break;
        b = placed.end;
    }
    return FitsFile::from_scan(std::move(source), std::move(spans), std::move(headers), lenient,
                               std::move(names));
}

Result<FitsFile> FitsFile::from_scan(std::unique_ptr<const Source> source,
                                     std::vector<DataSpan> spans, std::vector<Bytes> headers,
                                     bool lenient, std::optional<ExtnameIndex> names) {
    if (spans.empty()) return fail(Error::header("file contains no HDU"));
    // Every later read trusts these two facts; a record assembled by hand must hold them
    // too.
    if (headers.size() != spans.size()) {
        return fail(Error::header("scan produced " + str(spans.size()) + " data spans but " +
                                  str(headers.size()) + " headers"));
    }
    const std::uint64_t size = source->size();
    for (std::size_t i = 0; i < spans.size(); ++i) {
        const std::optional<std::uint64_t> end =
            checked_add(spans[i].data_offset, padded_len(spans[i].data_len));
        if (!end || *end > size) {
            return fail(Error::block(
                spans[i].data_offset,
                "HDU data section requires " + str(padded_len(spans[i].data_len)) +
                    " bytes but only " +
                    str(size > spans[i].data_offset ? size - spans[i].data_offset : 0) +
                    " remain"));
        }
    }
    FitsFile f;
    if (names) {
        f.extnames = std::move(*names);
    } else {
        for (std::size_t i = 0; i < headers.size(); ++i) {
            auto one = Header::parse(headers[i], 0, lenient);
            if (!one) continue;  // a header that does not parse simply has no name
            if (std::optional<std::string> name = extname_of(one->first)) {
                f.extnames[std::move(*name)].push_back(i);
            }
        }
    }
    f.data_cache = DataCache(spans.size());
    f.spans = std::move(spans);
    f.headers = std::move(headers);
    f.source = std::move(source);
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

// ---- data access ----

Result<ByteSpan> FitsFile::padded_data(std::size_t index) const {
    const DataSpan& s = spans[index];
    // The scan checked that the padded section lies inside the content.
    const std::uint64_t padded = padded_len(s.data_len);
    if (padded > std::numeric_limits<std::size_t>::max()) return fail(Error::out_of_memory());
    if (const std::optional<ByteSpan> all = source->contents()) {
        return all->subspan(static_cast<std::size_t>(s.data_offset),
                            static_cast<std::size_t>(padded));
    }
    const DataCache::Cell* cell = data_cache.get(index);
    if (cell == nullptr) {
        auto fresh = std::make_unique<DataCache::Cell>();
        fresh->bytes.reset(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(padded)]);
        if (!fresh->bytes) return fail(Error::out_of_memory());
        fresh->len = static_cast<std::size_t>(padded);
        advise_huge_pages(fresh->bytes.get(), fresh->len);
        VEXLO_TRY(read_over_cores(*source, s.data_offset, {fresh->bytes.get(), fresh->len}));
        cell = data_cache.store(index, std::move(fresh));
    }
    return ByteSpan(cell->bytes.get(), cell->len);
}

Result<ByteSpan> FitsFile::data_bytes(std::size_t index) const {
    if (index >= spans.size()) return fail(hdu_index_error(index, spans.size()));
    const DataSpan& s = spans[index];
    if (s.data_len == 0) return ByteSpan{};
    VEXLO_ASSIGN_OR_RETURN(const ByteSpan padded, padded_data(index));
    return padded.first(static_cast<std::size_t>(s.data_len));
}

Result<Bytes> FitsFile::read_data(std::size_t index) const {
    if (index >= spans.size()) return fail(hdu_index_error(index, spans.size()));
    const DataSpan& s = spans[index];
    if (s.data_len > std::numeric_limits<std::size_t>::max()) return fail(Error::out_of_memory());
    try {
        Bytes out(static_cast<std::size_t>(s.data_len));
        VEXLO_TRY(read_data_range_into(index, 0, out));
        return out;
    } catch (const std::bad_alloc&) {
        return fail(Error::out_of_memory());
    }
}

Result<void> FitsFile::read_data_range_into(std::size_t index, std::uint64_t offset,
                                            std::span<std::uint8_t> dest) const {
    if (index >= spans.size()) return fail(hdu_index_error(index, spans.size()));
    const DataSpan& s = spans[index];
    VEXLO_TRY(check_data_range(offset, dest.size(), s.data_len));
    const std::optional<std::uint64_t> pos = checked_add(s.data_offset, offset);
    if (!pos) return fail(Error::data("read_data_range_into: offset overflows the file"));
    if (dest.empty()) return {};
    return source->read_at(*pos, dest);
}

Result<void> check_data_range(std::uint64_t offset, std::uint64_t n, std::uint64_t len) {
    const std::optional<std::uint64_t> end = checked_add(offset, n);
    if (!end || *end > len) {
        return fail(Error::data("read_data_range_into: [" + str(offset) + ", +" + str(n) +
                                ") escapes the " + str(len) + "-byte data section"));
    }
    return {};
}

Result<std::optional<Bytes>> FitsFile::raw_hdu_bytes(std::size_t index) const {
    if (index >= spans.size()) return std::optional<Bytes>{};
    const DataSpan& s = spans[index];
    ByteSpan padded;
    if (s.data_len != 0) {
        VEXLO_ASSIGN_OR_RETURN(padded, padded_data(index));
    }
    try {
        Bytes out;
        out.reserve(headers[index].size() + padded.size());
        out.insert(out.end(), headers[index].begin(), headers[index].end());
        out.insert(out.end(), padded.begin(), padded.end());
        return std::optional<Bytes>(std::move(out));
    } catch (const std::bad_alloc&) {
        return fail(Error::out_of_memory());
    }
}

Result<bool> FitsFile::copy_raw_hdu(std::size_t index, BufWriter& out) const {
    if (index >= spans.size()) return false;
    VEXLO_TRY(out.write(headers[index]));
    VEXLO_TRY(copy_padded_data(index, out));
    return true;
}

Result<void> FitsFile::copy_padded_data(std::size_t index, BufWriter& out) const {
    const DataSpan& s = spans[index];
    const std::uint64_t padded = padded_len(s.data_len);
    if (padded != 0) VEXLO_TRY(out.copy_from(*source, s.data_offset, padded));
    return {};
}

std::uint64_t FitsFile::hdus_end() const {
    if (spans.empty()) return 0;
    // The scan checked that this end lies within the source.
    return spans.back().data_offset + padded_len(spans.back().data_len);
}

Result<bool> FitsFile::only_droppable_after_hdus() const {
    const std::uint64_t size = source->size();
    std::uint8_t chunk[kBlockLen];
    const std::uint64_t end = hdus_end();
    for (std::uint64_t pos = end; pos < size;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kBlockLen, size - pos));
        VEXLO_ASSIGN_OR_RETURN(const ByteSpan got, source->view_at(pos, std::span(chunk, n)));
        // An unfinished append's remains go whole, whatever its stand-in block covers.
        if (pos == end && begins_unfinished_append(got)) return true;
        for (const std::uint8_t b : got) {
            if (b != 0x00 && b != 0x20) return false;
        }
        pos += n;
    }
    return true;
}

Result<Header> FitsFile::header(std::size_t index) const {
    if (index >= spans.size()) return fail(hdu_index_error(index, spans.size()));
    VEXLO_ASSIGN_OR_RETURN(auto parsed, Header::parse(headers[index], 0, lenient));
    return std::move(parsed.first);
}

}  // namespace vexlo
