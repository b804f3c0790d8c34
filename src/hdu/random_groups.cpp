#include "hdu/random_groups.hpp"

#include <new>
#include <string>

#include "util/text.hpp"

namespace vexlo {

namespace {

// PTYPEn, PSCALn and PZEROn exist for n up to 999 (eight-character keywords).
constexpr std::uint64_t kMaxDescribedParameters = 999;

}  // namespace

GroupParameter read_group_parameter(const Header& header, std::uint64_t n) {
    const std::string k = std::to_string(n);
    GroupParameter p;
    p.index = n;
    if (const std::optional<std::string> name = header.get_str("PTYPE" + k)) {
        p.name = std::string(trim_ws(*name));
    }
    p.pscal = header.get_f64("PSCAL" + k).value_or(1.0);
    p.pzero = header.get_f64("PZERO" + k).value_or(0.0);
    return p;
}

Result<RandomGroupsHdu> RandomGroupsHdu::create(Header header, DataBuf data) {
    VEXLO_ASSIGN_OR_RETURN(const std::int64_t bitpix_raw, header.bitpix());
    VEXLO_ASSIGN_OR_RETURN(const Bitpix bitpix, from_bitpix(bitpix_raw));
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t naxis, header.naxis());
    if (naxis < 2) return fail(Error::data("NAXIS must be >= 2, got " + std::to_string(naxis)));
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t naxis1, header.naxisn(1));
    if (naxis1 != 0) return fail(Error::data("NAXIS1 must be 0"));

    std::uint64_t per_group = 1;
    for (std::uint64_t n = 2; n <= naxis; ++n) {
        VEXLO_ASSIGN_OR_RETURN(const std::uint64_t len, header.naxisn(n));
        if (len == 0) {
            per_group = 0;
            break;
        }
        if (__builtin_mul_overflow(per_group, len, &per_group)) {
            return fail(Error::data("NAXISn product overflowed u64"));
        }
    }

    // Unlike the size rule of the scan, only plain integers count here: a real or a negative
    // value falls back to the default. GCOUNT = 0 means no groups, as the scan sizes it (0
    // data bytes); counting it as one group would make such a file open but never load.
    std::uint64_t pcount = 0;
    if (const std::optional<Value> v = header.get_value("PCOUNT");
        v && v->is(Value::Kind::Integer) && v->integer >= 0) {
        pcount = static_cast<std::uint64_t>(v->integer);
    }
    std::uint64_t gcount = 1;
    if (const std::optional<Value> v = header.get_value("GCOUNT");
        v && v->is(Value::Kind::Integer) && v->integer >= 0) {
        gcount = static_cast<std::uint64_t>(v->integer);
    }

    std::uint64_t expected = 0;
    std::uint64_t values = 0;
    if (__builtin_mul_overflow(gcount, bytes_per_pixel(bitpix), &expected) ||
        __builtin_add_overflow(pcount, per_group, &values) ||
        __builtin_mul_overflow(expected, values, &expected)) {
        return fail(Error::data("data size overflowed u64"));
    }
    if (data.size() != expected) {
        return fail(Error::data("data slice " + std::to_string(data.size()) +
                                " bytes does not match expected " + std::to_string(expected)));
    }

    // With at least one group, pcount is bounded by the data length checked above. Without
    // groups no byte backs it; a parameter beyond 999 cannot have a PTYPEn card either, so
    // such a count is refused rather than allocated.
    if (gcount == 0 && pcount > kMaxDescribedParameters) {
        return fail(
            Error::data("PCOUNT " + std::to_string(pcount) +
                        " out of range for GCOUNT = 0 (at most 999 parameters without data)"));
    }
    RandomGroupsHdu rg;
    try {
        rg.parameters.reserve(static_cast<std::size_t>(pcount));
    } catch (const std::bad_alloc&) {
        return fail(Error::out_of_memory());
    }
    for (std::uint64_t n = 1; n <= pcount; ++n)
        rg.parameters.push_back(read_group_parameter(header, n));
    rg.header = std::move(header);
    rg.data = std::move(data);
    rg.bitpix = bitpix;
    rg.pcount = pcount;
    rg.data_per_group = per_group;
    rg.gcount = gcount;
    return rg;
}

}  // namespace vexlo
