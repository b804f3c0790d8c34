#include "hdu/compressed_image.hpp"

#include <string>

namespace vexlo {

namespace {

constexpr const char* kUnavailable =
    "reading tile-compressed images is not available in this build";

}  // namespace

// Until tile decoding is built, every table is refused after the checks that do not depend
// on it, so a loader keeps it as a plain binary table and an image request reports why.
Result<CompressedImageHdu> CompressedImageHdu::from_bintable(BinTableHdu&& table) {
    const Header& h = table.header;
    const std::optional<Value> zimage = h.get_value("ZIMAGE");
    if (!zimage || !zimage->is(Value::Kind::Logical) || !zimage->logical) {
        return fail(
            Error::hdu_mismatch("compressed image (ZIMAGE = T)", "BINTABLE without ZIMAGE"));
    }
    VEXLO_ASSIGN_OR_RETURN(const std::int64_t zbitpix, h.require_i64("ZBITPIX"));
    VEXLO_TRY(from_bitpix(zbitpix));
    VEXLO_ASSIGN_OR_RETURN(const std::int64_t znaxis, h.require_i64("ZNAXIS"));
    if (znaxis < 0 || znaxis > 999) {
        return fail(Error::value("ZNAXIS", "ZNAXIS=" + std::to_string(znaxis) + " out of range"));
    }
    if (!h.get_str("ZCMPTYPE")) return fail(Error::missing_mandatory("ZCMPTYPE"));
    return fail(Error::non_standard(kUnavailable));
}

Result<ImageHdu> CompressedImageHdu::decompress() const {
    return fail(Error::non_standard(kUnavailable));
}

}  // namespace vexlo
