#include "data/size.hpp"

#include <optional>
#include <string>

#include "data/pixel.hpp"

namespace vexlo {

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
        // A zero axis empties only the product: a table with no rows still has its heap,
        // and sizing it as empty would take the heap for the next header.
        if (len == 0) {
            product = 0;
            break;
        }
        if (__builtin_mul_overflow(product, len, &product)) {
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
    if (__builtin_mul_overflow(gcount, bytes_per_pixel(bitpix), &size) ||
        __builtin_add_overflow(pcount, product, &elems) ||
        __builtin_mul_overflow(size, elems, &size)) {
        return fail(Error::data("data size overflows u64"));
    }
    return size;
}

}  // namespace vexlo
