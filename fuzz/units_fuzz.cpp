// Unit strings and date texts from arbitrary bytes. The text before the first newline is
// parsed strictly and leniently, converted into the unit after it and reduced to canonical
// factors; the same bytes go through the date and time-of-day readers.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "header/time.hpp"
#include "units/unit.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vexlo;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::size_t nl = text.find('\n');
    const std::string_view from = text.substr(0, nl);
    const std::string_view to = nl == std::string_view::npos ? "" : text.substr(nl + 1);
    auto a = parse_unit_lenient(from);
    auto b = Unit::parse(to);
    if (a && b) (void)a->converter_to(*b);
    (void)canonical_factor_lenient(from, Dimension{}.with(BaseUnit::Second, 1));
    (void)normalize_unit_aliases(text);
    if (auto dt = parse_iso_datetime(text)) (void)to_utc_mjd("TCB", mjd_from_datetime(*dt));
    (void)parse_time_of_day(text);
    (void)is_time_scale(text);
    return 0;
}
