#include "hdu/section_plan.hpp"

#include <limits>
#include <optional>
#include <string>

#include "util/text.hpp"

namespace vexlo {

Result<void> check_section(std::span<const std::uint64_t> axes,
                           std::span<const std::uint64_t> start,
                           std::span<const std::uint64_t> shape) {
    if (start.size() != axes.size() || shape.size() != axes.size()) {
        return fail(Error::data("start/shape have length " + str(start.size()) + "/" +
                                str(shape.size()) + ", expected NAXIS = " + str(axes.size())));
    }
    for (std::size_t k = 0; k < axes.size(); ++k) {
        const std::optional<std::uint64_t> end = checked_add(start[k], shape[k]);
        if (!end || *end > axes[k]) {
            // An overflowing end is shown saturated.
            const std::string end_text =
                str(end.value_or(std::numeric_limits<std::uint64_t>::max()));
            return fail(Error::data("axis " + str(k) + " (NAXIS" + str(k + 1) + ") range " +
                                    str(start[k]) + ".." + end_text + " out of bounds (length " +
                                    str(axes[k]) + ")"));
        }
    }
    return {};
}

bool empty_section(std::span<const std::uint64_t> shape) {
    for (const std::uint64_t n : shape)
        if (n == 0) return true;
    return false;
}

Result<std::uint64_t> section_pixels(std::span<const std::uint64_t> shape) {
    std::uint64_t count = 1;
    for (const std::uint64_t n : shape) {
        const std::optional<std::uint64_t> more = checked_mul(count, n);
        if (!more) return fail(Error::data("shape product overflows u64"));
        count = *more;
    }
    return count;
}

Result<std::vector<std::uint64_t>> axis_strides(std::span<const std::uint64_t> axes) {
    std::vector<std::uint64_t> strides(axes.size());
    std::uint64_t stride = 1;
    for (std::size_t k = 0; k < axes.size(); ++k) {
        strides[k] = stride;
        const std::optional<std::uint64_t> next = checked_mul(stride, axes[k]);
        if (!next) return fail(Error::data("axis stride overflows u64"));
        stride = *next;
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

Result<SectionRuns> plan_runs(std::span<const std::uint64_t> axes,
                              std::span<const std::uint64_t> shape, Bitpix bitpix) {
    SectionRuns plan;
    VEXLO_ASSIGN_OR_RETURN(plan.strides, axis_strides(axes));
    plan.pixel_len = bytes_per_pixel(bitpix);
    const std::optional<std::uint64_t> run =
        checked_mul(plan.pixel_len, shape.empty() ? 0 : shape[0]);
    if (!run) return fail(Error::data("byte range overflows u64"));
    plan.run_len = *run;
    return plan;
}

}  // namespace vexlo
