#include "hdu/image_reader.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "hdu/section_plan.hpp"
#include "util/checked.hpp"
#include "util/parallel.hpp"
#include "util/text.hpp"

namespace vexlo {

namespace {

// Stored bytes read and converted per step: small enough to stay in cache between the read
// and the conversion, a whole number of pixels of every type.
constexpr std::size_t kPixelChunk = std::size_t{1} << 18;
// Below this many stored bytes per part a thread does not repay its start.
constexpr std::size_t kMinBytesPerPart = std::size_t{8} << 20;

template <class T>
std::span<T> typed(std::span<std::uint8_t> bytes) {
    return {reinterpret_cast<T*>(bytes.data()), bytes.size() / sizeof(T)};
}

// Stored big-endian pixels `stored` as values in `form` into `out` (one element per pixel);
// `stored` may be `out` itself when both have the same width.
Result<void> convert_pixels(Bitpix bitpix, const Scaling& scaling, PhysicalForm form,
                            ByteSpan stored, std::span<std::uint8_t> out) {
    switch (form) {
        case PhysicalForm::Stored:
            if (stored.data() != out.data() && !stored.empty()) {
                std::memcpy(out.data(), stored.data(), stored.size());
            }
            return swap_be_in_place(bitpix, out);
        case PhysicalForm::Offset:
            return decode_offset_be_into(bitpix, stored, out);
        case PhysicalForm::F32:
            return physical_values_into(bitpix, stored, scaling, typed<float>(out));
        case PhysicalForm::F64:
            break;
    }
    return physical_values_into(bitpix, stored, scaling, typed<double>(out));
}

// Whether values in `form` are made from stored bytes where they lie (the physical
// conversions read and write different buffers).
bool same_width_form(PhysicalForm form) {
    return form == PhysicalForm::Stored || form == PhysicalForm::Offset;
}

// All pixels of `src` converted chunk by chunk into `dest`, whose size the caller checked. A
// large image is split into runs of chunks over the cores. Bytes in memory are converted where
// they lie; a file's bytes are read into the destination itself for the stored and offset
// forms, else through one chunk of scratch per run.
Result<void> convert_over_chunks(const DataSource& src, Bitpix bitpix, const Scaling& scaling,
                                 PhysicalForm form, std::span<std::uint8_t> dest) {
    const std::uint64_t width = bytes_per_pixel(bitpix);
    const std::uint64_t out_width = physical_width(bitpix, form);
    const std::uint64_t len = src.size();
    const bool in_place = same_width_form(form);
    const std::uint64_t chunks = (len + kPixelChunk - 1) / kPixelChunk;
    const std::size_t parts = parts_for(
        static_cast<std::size_t>(std::min<std::uint64_t>(len, SIZE_MAX)), kMinBytesPerPart);
    return run_ranges(
        parts, chunks, [&](std::size_t, std::uint64_t first, std::uint64_t count) -> Result<void> {
            std::unique_ptr<std::uint8_t[]> scratch;
            for (std::uint64_t c = first; c < first + count; ++c) {
                const std::uint64_t at = c * kPixelChunk;
                const auto n =
                    static_cast<std::size_t>(std::min<std::uint64_t>(kPixelChunk, len - at));
                const std::span<std::uint8_t> out =
                    dest.subspan(static_cast<std::size_t>(at / width * out_width),
                                 static_cast<std::size_t>(n / width * out_width));
                ByteSpan stored;
                if (const std::optional<ByteSpan> in_memory = src.view(at, n)) {
                    stored = *in_memory;
                } else if (in_place) {
                    VEXLO_TRY(src.read(at, out));
                    stored = out;
                } else {
                    if (!scratch) {
                        scratch.reset(new (std::nothrow) std::uint8_t[kPixelChunk]);
                        if (!scratch) return fail(Error::out_of_memory());
                    }
                    const std::span<std::uint8_t> part(scratch.get(), n);
                    VEXLO_TRY(src.read(at, part));
                    stored = part;
                }
                VEXLO_TRY(convert_pixels(bitpix, scaling, form, stored, out));
            }
            return {};
        });
}

}  // namespace

// ---- whole images ----

std::uint64_t physical_width(Bitpix bitpix, PhysicalForm form) {
    switch (form) {
        case PhysicalForm::F32:
            return sizeof(float);
        case PhysicalForm::F64:
            return sizeof(double);
        case PhysicalForm::Stored:
        case PhysicalForm::Offset:
            break;
    }
    return bytes_per_pixel(bitpix);
}

Result<void> read_image_into(const DataSource& src, Bitpix bitpix, const Scaling& scaling,
                             PhysicalForm form, std::span<std::uint8_t> dest) {
    const std::uint64_t len = src.size();
    const std::uint64_t pixels = len / bytes_per_pixel(bitpix);
    const std::uint64_t out_width = physical_width(bitpix, form);
    if (form == PhysicalForm::Stored || form == PhysicalForm::Offset) {
        VEXLO_TRY(src.check_destination(dest.size()));
    } else if (dest.size() / out_width != pixels || dest.size() % out_width != 0) {
        return fail(Error::data("read_physical_into: destination holds " +
                                str(dest.size() / out_width) + " values, data section has " +
                                str(pixels)));
    }
    return convert_over_chunks(src, bitpix, scaling, form, dest);
}

Result<void> read_pixels_into(const DataSource& src, Bitpix bitpix, bool offset_form,
                              std::span<std::uint8_t> dest) {
    return read_image_into(src, bitpix, Scaling{},
                           offset_form ? PhysicalForm::Offset : PhysicalForm::Stored, dest);
}

Result<void> read_physical_into(const DataSource& src, Bitpix bitpix, const Scaling& scaling,
                                std::span<float> dest) {
    return read_image_into(src, bitpix, scaling, PhysicalForm::F32,
                           {reinterpret_cast<std::uint8_t*>(dest.data()), dest.size_bytes()});
}

Result<void> read_physical_into(const DataSource& src, Bitpix bitpix, const Scaling& scaling,
                                std::span<double> dest) {
    return read_image_into(src, bitpix, scaling, PhysicalForm::F64,
                           {reinterpret_cast<std::uint8_t*>(dest.data()), dest.size_bytes()});
}

// ---- sections ----

namespace {

// A checked section request: its byte length and, when non-empty, its runs.
struct SectionPlan {
    std::uint64_t len = 0;
    SectionRuns runs;
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
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t count, section_pixels(shape));
    const std::optional<std::uint64_t> len = checked_mul(count, bytes_per_pixel(bitpix));
    if (!len || *len > std::numeric_limits<std::size_t>::max()) {
        return fail(Error::data("total bytes overflows usize"));
    }
    SectionPlan plan;
    plan.len = *len;
    if (plan.len == 0) return plan;
    VEXLO_ASSIGN_OR_RETURN(plan.runs, plan_runs(axes, shape, bitpix));
    // The caller's axes must describe an image inside this data section; otherwise runs
    // would come from the next HDU, and a result sized by them could exceed the file.
    std::optional<std::uint64_t> image_bytes = checked_mul(plan.runs.strides.back(), axes.back());
    if (image_bytes) image_bytes = checked_mul(*image_bytes, bytes_per_pixel(bitpix));
    if (!image_bytes || *image_bytes > data_len) {
        return fail(Error::data("image axes describe more than the " + str(data_len) +
                                "-byte data section"));
    }
    return plan;
}

// Reads the runs of a planned section into `dest`, which must hold exactly the section.
Result<void> read_planned(const DataSource& src, const SectionPlan& plan,
                          std::span<const std::uint64_t> start,
                          std::span<const std::uint64_t> shape, std::span<std::uint8_t> dest) {
    VEXLO_TRY(check_size("read_section_into: destination", dest.size(), "section", plan.len));
    if (plan.len == 0) return {};
    const auto run = static_cast<std::size_t>(plan.runs.run_len);
    std::size_t written = 0;
    return for_each_run(plan.runs, start, shape, 0, [&](std::uint64_t pos) -> Result<void> {
        VEXLO_TRY(src.read(pos, dest.subspan(written, run)));
        written += run;
        return {};
    });
}

}  // namespace

Result<std::uint64_t> section_len(const DataSource& src, std::span<const std::uint64_t> axes,
                                  std::span<const std::uint64_t> start,
                                  std::span<const std::uint64_t> shape, Bitpix bitpix) {
    VEXLO_ASSIGN_OR_RETURN(const SectionPlan plan,
                           plan_section(axes, start, shape, bitpix, src.size()));
    return plan.len;
}

Result<void> read_section_into(const DataSource& src, std::span<const std::uint64_t> axes,
                               std::span<const std::uint64_t> start,
                               std::span<const std::uint64_t> shape, Bitpix bitpix,
                               std::span<std::uint8_t> dest) {
    VEXLO_ASSIGN_OR_RETURN(const SectionPlan plan,
                           plan_section(axes, start, shape, bitpix, src.size()));
    return read_planned(src, plan, start, shape, dest);
}

Result<Bytes> read_section_bytes(const DataSource& src, std::span<const std::uint64_t> axes,
                                 std::span<const std::uint64_t> start,
                                 std::span<const std::uint64_t> shape, Bitpix bitpix) {
    VEXLO_ASSIGN_OR_RETURN(const SectionPlan plan,
                           plan_section(axes, start, shape, bitpix, src.size()));
    try {
        Bytes out(static_cast<std::size_t>(plan.len));
        VEXLO_TRY(read_planned(src, plan, start, shape, out));
        return out;
    } catch (const std::bad_alloc&) {
        return fail(Error::out_of_memory());
    }
}

Result<void> read_section_values_into(const DataSource& src, std::span<const std::uint64_t> axes,
                                      std::span<const std::uint64_t> start,
                                      std::span<const std::uint64_t> shape, Bitpix bitpix,
                                      const Scaling& scaling, PhysicalForm form,
                                      std::span<std::uint8_t> dest) {
    if (same_width_form(form)) {
        // Read into place, then converted where it lies.
        VEXLO_TRY(read_section_into(src, axes, start, shape, bitpix, dest));
        return read_image_into(DataSource::of_memory(dest), bitpix, scaling, form, dest);
    }
    VEXLO_ASSIGN_OR_RETURN(const Bytes stored, read_section_bytes(src, axes, start, shape, bitpix));
    return read_image_into(DataSource::of_memory(stored), bitpix, scaling, form, dest);
}

}  // namespace vexlo
