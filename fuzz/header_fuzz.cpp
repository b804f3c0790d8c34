// Header parsing and editing: the bytes are parsed as header blocks (strictly or leniently,
// by the first byte) and as user text; a parsed header is read through its getters,
// validated, edited with keywords taken from the input, written out and parsed again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "header/header.hpp"
#include "header/validate.hpp"

namespace {

using namespace vexlo;

void read_everything(const Header& h) {
    (void)h.axes();
    (void)h.bitpix();
    (void)h.blank();
    (void)h.is_random_groups();
    (void)h.entries();
    (void)h.time_sys();
    (void)h.mjd_obs_utc();
    (void)h.mjd_avg_utc();
    (void)h.obs_geodetic();
    (void)h.value_in_si("EXPTIME");
    (void)h.validate(false);
    (void)h.validate(true);
}

// Every edit keeps the header writable: what it writes parses again.
void edit(Header h, std::string_view key, std::string_view other, bool lenient) {
    const std::optional<std::string> comment = std::string(other);
    (void)h.set(key, Value::make_string(std::string(other)), comment);
    (void)h.set_real(key, static_cast<double>(other.size()) / 7.0, std::nullopt);
    (void)h.insert_before(key, other, Value::make_integer(static_cast<std::int64_t>(key.size())),
                          std::nullopt);
    (void)h.insert_after(other, key, Value::make_logical(true), comment);
    (void)h.add_commentary(CommentaryKind::History, other);
    (void)h.rename_keyword(key, other);
    (void)h.remove(other);
    const Bytes out = h.to_bytes();
    if (!Header::parse(out, 0, lenient)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const bool lenient = (data[0] & 1) != 0;
    const ByteSpan rest(data + 1, size - 1);
    const std::string_view text(reinterpret_cast<const char*>(rest.data()), rest.size());
    if (Result<Header> h = Header::parse_text(text, lenient)) read_everything(*h);
    Result<std::pair<Header, std::uint64_t>> parsed = Header::parse(rest, 0, lenient);
    if (!parsed) return 0;
    const Header& h = parsed->first;
    read_everything(h);
    // Keywords for the edits: the first and last of the header, and a fixed one.
    const auto entries = h.entries();
    std::string first = entries.empty() ? "OBJECT" : entries.front().keyword;
    std::string last = entries.empty() ? "HISTORY" : entries.back().keyword;
    edit(h.clone(), first, last, lenient);
    edit(h.clone(), "NEWKEY", first, lenient);
    return 0;
}
