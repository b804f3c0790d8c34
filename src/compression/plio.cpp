#include "compression/plio.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

#include "data/dispatch.hpp"
#include "data/pixel.hpp"

namespace vexlo {

namespace {

std::unexpected<Error> refuse(std::string msg) {
    return std::unexpected(Error::data(std::move(msg)));
}

// Pixels of host type T (std::uint8_t, std::int16_t or std::int32_t) written as the
// unsigned big-endian values 0 ... 2^(8 * sizeof(T)) - 1.
template <class T>
struct PixelWriter {
    std::span<std::uint8_t> out;
    static constexpr std::int64_t kMax = static_cast<std::int64_t>(
        std::min<std::uint64_t>(std::numeric_limits<std::make_unsigned_t<T>>::max(),
                                std::numeric_limits<std::int64_t>::max()));

    static bool in_range(std::int64_t pv) { return pv >= 0 && pv <= kMax; }

    // Kept out of line: the per-pixel path is only the range test above.
    [[gnu::noinline, gnu::cold]] static std::unexpected<Error> out_of_range(std::int64_t pv) {
        return refuse("PLIO_1 decoded pixel value " + std::to_string(pv) + " out of range [0, " +
                      std::to_string(kMax) + "]");
    }

    void put(std::uint64_t index, std::int64_t pv) const {
        store_be<T>(out.data() + index * sizeof(T), static_cast<T>(pv));
    }

    // Pixels [from, to) set to pv in one step: the first is stored, then copied in doubling
    // blocks.
    void fill(std::uint64_t from, std::uint64_t to, std::int64_t pv) const {
        if (from == to) return;
        std::uint8_t* p = out.data() + from * sizeof(T);
        const std::size_t n = (to - from) * sizeof(T);
        put(from, pv);
        std::size_t done = sizeof(T);
        while (done < n) {
            const std::size_t step = std::min(done, n - done);
            std::memcpy(p + done, p, step);
            done += step;
        }
    }
};

// Decodes the instruction words [first, list_len) of the line list into `writer`'s pixels.
template <class T>
Result<void> decode_list(ByteSpan input, std::uint64_t first, std::uint64_t list_len,
                         std::uint64_t npix, const PixelWriter<T>& writer) {
    auto word = [&](std::uint64_t i) { return load_be_u16(input.data() + 2 * i); };
    const std::uint64_t last_pixel = npix - 1;
    std::int64_t pv = 1;
    std::uint64_t x = 0;
    std::uint64_t op = 0;  // output position
    bool skip = false;
    for (std::uint64_t i = first; i < list_len; ++i) {
        if (skip) {
            skip = false;
            if (++i >= list_len) break;
        }
        const std::uint16_t w = word(i);
        const unsigned opcode = w >> 12;
        const std::int64_t data = w & 0x0FFF;
        if (opcode >= 8) {
            return refuse("PLIO_1 reserved opcode " + std::to_string(opcode) + " at word " +
                          std::to_string(i));
        }
        switch (opcode) {
            case 0:
            case 4:
            case 5: {
                // A run of `data` pixels from x; an empty run (data 0) writes nothing.
                const std::uint64_t run_end = x + static_cast<std::uint64_t>(data);  // last + 1
                if (data > 0 && x <= last_pixel) {
                    const std::uint64_t end = std::min(run_end - 1, last_pixel);
                    const std::uint64_t len = end - x + 1;
                    std::uint64_t new_op = 0;
                    if (__builtin_add_overflow(op, len, &new_op)) {
                        return refuse("PLIO_1 run overflows output");
                    }
                    if (new_op > npix) {
                        return refuse("PLIO_1 run extends past pixel " + std::to_string(npix));
                    }
                    if (opcode == 4) {
                        if (!writer.in_range(pv)) return writer.out_of_range(pv);
                        writer.fill(op, new_op, pv);
                    } else if (opcode == 5 && run_end - 1 <= last_pixel) {
                        if (!writer.in_range(pv)) return writer.out_of_range(pv);
                        writer.put(new_op - 1, pv);
                    }
                    op = new_op;
                }
                x = run_end;
                break;
            }
            case 1:
                if (i + 1 >= list_len)
                    return refuse("PLIO_1 opcode 1 (extended pv) missing second word");
                pv =
                    static_cast<std::int64_t>(static_cast<std::int16_t>(word(i + 1))) * 4096 + data;
                skip = true;
                break;
            case 2:
                pv += data;
                break;
            case 3:
                pv -= data;
                break;
            default:  // 6 and 7: step pv, then one pixel
                pv += opcode == 6 ? data : -data;
                if (x <= last_pixel) {
                    if (op >= npix) return refuse("PLIO_1 single-pixel write past tile end");
                    if (!writer.in_range(pv)) return writer.out_of_range(pv);
                    writer.put(op, pv);
                    ++op;
                }
                ++x;
                break;
        }
        if (x > last_pixel) break;
    }
    return {};
}

}  // namespace

Result<void> plio_decode(ByteSpan input, std::uint32_t width, std::uint64_t npix,
                         std::span<std::uint8_t> out) {
    if (input.size() % 2 != 0) {
        return refuse("PLIO_1 payload has odd byte length " + std::to_string(input.size()));
    }
    std::uint64_t need = 0;
    if (__builtin_mul_overflow(npix, std::uint64_t{width}, &need)) {
        return refuse("PLIO_1 destination size overflows usize");
    }
    if (out.size() != need) {
        return refuse("PLIO_1 destination is " + std::to_string(out.size()) + " bytes, expected " +
                      std::to_string(need));
    }
    if (width != 1 && width != 2 && width != 4) {
        return refuse("PLIO_1 only supports 1/2/4-byte pixels, got " + std::to_string(width));
    }
    if (npix == 0) return {};
    if (input.size() < 6) return refuse("PLIO_1 payload shorter than the 3-word minimum header");

    const std::size_t n_words = input.size() / 2;
    auto word = [&](std::size_t i) { return load_be_u16(input.data() + 2 * i); };
    std::uint64_t list_len = 0;
    std::uint64_t first = 0;
    if (static_cast<std::int16_t>(word(2)) > 0) {
        list_len = word(2);
        first = 3;
    } else {
        if (input.size() < 14) {
            return refuse("PLIO_1 new-format payload is shorter than its 7-word header");
        }
        first = word(1);
        if (first < 7) {
            return refuse("PLIO_1 header length field = " + std::to_string(first) +
                          ", expected >= 7");
        }
        list_len = std::uint64_t{word(3)} | (std::uint64_t{word(4)} << 15);
    }
    if (list_len > n_words) {
        return refuse("PLIO_1 declares " + std::to_string(list_len) + " encoded words but only " +
                      std::to_string(n_words) + " were provided");
    }
    if (first > list_len) {
        return refuse("PLIO_1 header length " + std::to_string(first) + " exceeds total length " +
                      std::to_string(list_len));
    }

    return visit_integer_width(width, [&](auto tag) {
        using T = typename decltype(tag)::type;
        return decode_list<T>(input, first, list_len, npix, PixelWriter<T>{out});
    });
}

}  // namespace vexlo
