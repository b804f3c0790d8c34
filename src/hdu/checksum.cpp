#include "hdu/checksum.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "data/checksum.hpp"
#include "header/card.hpp"
#include "header/header.hpp"
#include "util/text.hpp"

namespace vexlo {

namespace {

constexpr std::size_t kChunk = std::size_t{1} << 20;

std::string_view trim_quotes(std::string_view s) {
    while (!s.empty() && s.front() == '\'')
        s.remove_prefix(1);
    while (!s.empty() && s.back() == '\'')
        s.remove_suffix(1);
    return s;
}

// The DATASUM text of a header: a string value's text or an integer's decimal form.
std::optional<std::string> datasum_text(const Header& header) {
    const std::optional<Value> v = header.get_value("DATASUM");
    if (!v) return std::nullopt;
    if (v->is(Value::Kind::String)) return v->text;
    if (v->is(Value::Kind::Integer)) return std::to_string(v->integer);
    return std::nullopt;
}

bool has_checksum(const Header& header) {
    const std::optional<Value> v = header.get_value("CHECKSUM");
    return v && v->is(Value::Kind::String);
}

// The sum of `len` bytes from `offset` of the file's bytes, read in 1 MiB chunks into
// `buf` (allocated on first use and reused for every later chunk and HDU).
Result<std::uint32_t> region_sum(const Source& src, std::uint64_t offset, std::uint64_t len,
                                 std::unique_ptr<std::uint8_t[]>& buf) {
    if (len == 0) return 0u;
    if (!buf) {
        buf.reset(new (std::nothrow) std::uint8_t[kChunk]);
        if (!buf) return fail(Error::out_of_memory());
    }
    std::uint32_t sum = 0;
    while (len > 0) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(len, kChunk));
        VEXLO_ASSIGN_OR_RETURN(const ByteSpan chunk, src.view_at(offset, {buf.get(), n}));
        sum = ones_complement_add(sum, ones_complement_sum(chunk));
        offset += n;
        len -= n;
    }
    return sum;
}

// The first value card of `keyword` before END: the one Header::get and the verification
// read, so stamping a later duplicate would leave the visible card stale.
std::uint8_t* first_value_card(std::span<std::uint8_t> header, std::string_view keyword) {
    for (std::size_t at = 0; at + kCardLen <= header.size(); at += kCardLen) {
        const ByteSpan card(header.data() + at, kCardLen);
        const CardKind kind = card_kind(card, false);
        if (kind == CardKind::End) break;
        if (kind == CardKind::Value && card_keyword_eq(card, false, keyword)) {
            return header.data() + at;
        }
    }
    return nullptr;
}

// DATASUM as the convention writes it: the decimal sum quoted in a field of at least eight
// characters from column 11, blanks after; columns 1 to 10 stay.
void write_datasum_card(std::uint8_t* card, std::uint32_t d) {
    char digits[10];
    const auto res = std::to_chars(digits, digits + sizeof digits, d);
    const std::size_t n = static_cast<std::size_t>(res.ptr - digits);
    std::fill(card + 10, card + kCardLen, std::uint8_t{' '});
    card[10] = '\'';
    std::memcpy(card + 11, digits, n);
    card[11 + std::max<std::size_t>(n, 8)] = '\'';
}

// CHECKSUM of a header (every other card final) over data summing to `d`: the encoded
// complement of the whole HDU's sum, taken with the placeholder in the card.
void write_checksum_card(std::span<const std::uint8_t> header, std::uint8_t* card,
                         std::uint32_t d) {
    static constexpr std::string_view kPlaceholder = "0000000000000000";
    std::fill(card + 10, card + kCardLen, std::uint8_t{' '});
    card[10] = '\'';
    std::memcpy(card + 11, kPlaceholder.data(), kPlaceholder.size());
    card[27] = '\'';
    const std::uint32_t h = ones_complement_sum(header);
    const std::array<char, 16> text = encode_checksum(~ones_complement_add(h, d));
    std::memcpy(card + 11, text.data(), text.size());
}

Error stamp_error(std::string_view why) {
    return Error::header("checksum stamp failed: " + std::string(why));
}

}  // namespace

Result<void> stamp_checksums(std::span<std::uint8_t> header, ByteSpan data) {
    return stamp_checksums_with_datasum(header, ones_complement_sum(data));
}

Result<void> stamp_checksums_with_datasum(std::span<std::uint8_t> header, std::uint32_t d) {
    if (header.size() % kBlockLen != 0) {
        return fail(stamp_error("header bytes are not a multiple of 2880"));
    }
    std::uint8_t* datasum = first_value_card(header, "DATASUM");
    std::uint8_t* checksum = first_value_card(header, "CHECKSUM");
    if (checksum == nullptr) {
        return fail(stamp_error("CHECKSUM placeholder not found in header"));
    }
    if (datasum == nullptr) {
        return fail(stamp_error("DATASUM placeholder not found in header"));
    }
    write_datasum_card(datasum, d);
    write_checksum_card(header, checksum, d);
    return {};
}

Result<std::vector<RestampedCards>> sync_patches(FitsUpdater& up) {
    VEXLO_TRY(up.check_not_replaced());
    std::vector<RestampedCards> restamped;
    for (std::size_t i = 0; i < up.hdus.size(); ++i) {
        UpdaterHdu& rec = up.hdus[i];
        if (!rec.patched_sum_change) continue;
        Bytes header;
        try {
            header.resize(static_cast<std::size_t>(rec.data_offset - rec.header_offset));
        } catch (const std::bad_alloc&) {
            return fail(Error::out_of_memory());
        }
        VEXLO_TRY(up.file.read_at(rec.header_offset, header));
        std::uint8_t* datasum = first_value_card(header, "DATASUM");
        std::uint8_t* checksum = first_value_card(header, "CHECKSUM");
        // The declared sum moved by the patches; a result of either zero is ambiguous (the
        // sum is 0 only for data that is all zeros), so that case, like a missing or
        // unreadable DATASUM, reads the data.
        std::optional<std::uint32_t> d;
        if (datasum != nullptr) {
            VEXLO_ASSIGN_OR_RETURN(const auto parsed, Header::parse(header, 0, true));
            const std::optional<std::string> text = datasum_text(parsed.first);
            const std::optional<std::uint32_t> declared =
                text ? parse_datasum_text(*text) : std::nullopt;
            if (declared) d = ones_complement_add(*declared, *rec.patched_sum_change);
        }
        if (!d || *d == 0 || *d == 0xFFFFFFFFu) {
            VEXLO_ASSIGN_OR_RETURN(d, up.padded_data_sum(rec));
        }
        if (datasum != nullptr) write_datasum_card(datasum, *d);
        if (checksum != nullptr) write_checksum_card(header, checksum, *d);
        if (datasum != nullptr || checksum != nullptr) {
            VEXLO_TRY(up.file.write_at(rec.header_offset, header));
            const auto card = [](const std::uint8_t* at) {
                return at != nullptr ? Bytes(at, at + kCardLen) : Bytes();
            };
            restamped.push_back({i, card(datasum), card(checksum)});
        }
        rec.patched_sum_change.reset();
    }
    VEXLO_TRY(up.file.sync_data());
    return restamped;
}

void take_restamped_cards(Header& header, const RestampedCards& cards) {
    const auto put = [&](std::string_view key, const Bytes& card) {
        if (card.empty()) return;
        if (const std::optional<std::size_t> span = header.layout().first_value(key)) {
            header.replace_raw(*span, card);
        }
    };
    put("DATASUM", cards.datasum);
    put("CHECKSUM", cards.checksum);
}

std::uint32_t padded_data_sum(ByteSpan data, std::uint8_t fill, std::uint64_t padded) {
    // The word-aligned part is summed in place; only the last partial word and the fill go
    // through a small buffer.
    const std::size_t whole = data.size() & ~std::size_t{3};
    Bytes tail(data.begin() + static_cast<std::ptrdiff_t>(whole), data.end());
    tail.resize(static_cast<std::size_t>(padded - whole), fill);
    return ones_complement_add(ones_complement_sum(data.first(whole)), ones_complement_sum(tail));
}

std::optional<std::uint32_t> parse_datasum_text(std::string_view text) {
    std::string_view s = trim_ws(trim_quotes(trim_ws(text)));
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    std::uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
        if (v > 0xFFFFFFFFu) return std::nullopt;
    }
    return static_cast<std::uint32_t>(v);
}

bool carries_checksums(const Header& header) {
    return header.contains("CHECKSUM") || header.contains("DATASUM");
}

Result<std::vector<ChecksumStatus>> verify_checksums(const FitsFile& file) {
    std::vector<ChecksumStatus> rows;
    rows.reserve(file.headers.size());
    std::unique_ptr<std::uint8_t[]> buf;
    for (std::size_t i = 0; i < file.headers.size() && i < file.spans.size(); ++i) {
        // The header as the file holds it now: a flush in update mode restamps the sums of a
        // patched HDU in place, after the scan copied its blocks.
        Bytes stored = file.headers[i];
        const DataSpan& where = file.spans[i];
        if (where.data_offset >= stored.size()) {
            VEXLO_TRY(file.source->read_at(where.data_offset - stored.size(), stored));
        }
        VEXLO_ASSIGN_OR_RETURN(auto parsed, Header::parse(stored, 0, file.lenient));
        const Header& header = parsed.first;
        const bool checksum_present = has_checksum(header);
        const std::optional<std::string> datasum = datasum_text(header);

        ChecksumStatus row;
        row.hdu = i;
        if (checksum_present || datasum) {
            const DataSpan& span = file.spans[i];
            VEXLO_ASSIGN_OR_RETURN(
                const std::uint32_t d,
                region_sum(*file.source, span.data_offset, padded_len(span.data_len), buf));
            if (datasum) {
                const std::optional<std::uint32_t> claimed = parse_datasum_text(*datasum);
                row.datasum_ok = claimed.has_value() && *claimed == d;
            }
            if (checksum_present) {
                row.checksum_ok =
                    ones_complement_add(ones_complement_sum(stored), d) == 0xFFFFFFFFu;
            }
        }
        rows.push_back(row);
    }
    return rows;
}

}  // namespace vexlo
