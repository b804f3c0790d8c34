#include "compression/rice.hpp"

#include <algorithm>
#include <bit>
#include <string>
#include <vector>

#include "data/dispatch.hpp"
#include "data/pixel.hpp"

namespace vexlo {

namespace {

Error end_of_stream() {
    return Error::data("RICE: hit end of compressed stream");
}

// Appends bits most significant first into whole bytes.
class RiceBitWriter {
  public:
    explicit RiceBitWriter(Bytes& out) : out_(out) {}

    // Appends the low n (0 ... 32) bits of `value`.
    void put(std::uint32_t value, int n) {
        if (n == 0) return;
        if (n < 32) value &= (std::uint32_t{1} << n) - 1;
        if (n + (8 - bits_to_go_) > 32) {
            // The pending bits and the new ones would overflow the 32-bit buffer: complete
            // the pending byte first.
            buffer_ = (buffer_ << bits_to_go_) | (value >> (n - bits_to_go_));
            out_.push_back(static_cast<std::uint8_t>(buffer_));
            n -= bits_to_go_;
            value &= n == 32 ? ~std::uint32_t{0} : (std::uint32_t{1} << n) - 1;
            bits_to_go_ = 8;
        }
        buffer_ = n == 32 ? value : (buffer_ << n) | value;
        bits_to_go_ -= n;
        while (bits_to_go_ <= 0) {
            out_.push_back(static_cast<std::uint8_t>(buffer_ >> (-bits_to_go_)));
            bits_to_go_ += 8;
        }
    }

    // `count` zero bits, in pieces that keep put() within its range.
    void zeros(std::uint64_t count) {
        while (count > 24) {
            put(0, 24);
            count -= 24;
        }
        put(0, static_cast<int>(count));
    }

    void flush() {
        if (bits_to_go_ < 8) out_.push_back(static_cast<std::uint8_t>(buffer_ << bits_to_go_));
    }

  private:
    Bytes& out_;
    std::uint32_t buffer_ = 0;
    int bits_to_go_ = 8;
};

// Reads the bit stream that follows the verbatim first pixel. The pending bits sit at the top
// of a 64-bit word (the bits below them are zero), refilled eight bytes at a time where the
// input allows.
struct BitReader {
    const std::uint8_t* next;
    const std::uint8_t* end;
    std::uint64_t buffer = 0;
    int pending = 0;

    void refill() {
        if (end - next >= 8) {
            const int bytes = (63 - pending) >> 3;
            const int filled = pending + bytes * 8;  // at most 63
            // Only whole bytes join; the part of the next byte stays zero until it is read.
            buffer = (buffer | (load_be_u64(next) >> pending)) & ~(~std::uint64_t{0} >> filled);
            next += bytes;
            pending = filled;
            return;
        }
        while (pending <= 56 && next != end) {
            buffer |= std::uint64_t{*next++} << (56 - pending);
            pending += 8;
        }
    }

    // n is 1 ... 32.
    bool read(int n, std::uint32_t& out) {
        if (pending < n) {
            refill();
            if (pending < n) return false;
        }
        out = static_cast<std::uint32_t>(buffer >> (64 - n));
        buffer <<= n;
        pending -= n;
        return true;
    }

    // The zero bits before the next 1 bit; the 1 bit is consumed.
    bool zero_run(std::uint32_t& zeros) {
        std::uint32_t count = 0;
        while (buffer == 0) {
            // Only zero bits are pending: count them and fetch more.
            count += static_cast<std::uint32_t>(pending);
            pending = 0;
            refill();
            if (pending == 0) return false;
        }
        const int lead = std::countl_zero(buffer);  // below `pending`: the 1 bit is pending
        zeros = count + static_cast<std::uint32_t>(lead);
        buffer = lead == 63 ? 0 : buffer << (lead + 1);
        pending -= lead + 1;
        return true;
    }
};

std::uint32_t undo_mapping(std::uint32_t v) {
    return (v >> 1) ^ (0u - (v & 1));
}

// The blocks after the verbatim first pixel, written straight into `dst`; templated on the
// pixel's host type so the per-pixel store has no dispatch.
template <class T>
Result<void> decode_blocks(const RiceParams& params, std::uint32_t blocksize, std::uint32_t npix,
                           std::uint32_t last, BitReader in, std::uint8_t* dst) {
    // `in` is a local copy: the byte stores into `dst` could alias a referenced reader and
    // force its state through memory on every pixel.
    const int fsbits = static_cast<int>(params.fsbits);
    const int fsmax = static_cast<int>(params.fsmax);
    const int bbits = static_cast<int>(params.bbits);
    std::uint32_t i = 0;
    // A block size of 0 makes no progress, but every block still costs a code, so the stream
    // runs out and the loop ends with an error rather than spinning.
    while (i < npix) {
        std::uint32_t code = 0;
        if (!in.read(fsbits, code)) return fail(end_of_stream());
        const int fs = static_cast<int>(code) - 1;
        const std::uint32_t m =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(blocksize, npix - i));
        if (fs < 0) {
            for (std::uint32_t k = 0; k < m; ++k, ++i)
                store_be<T>(dst + std::size_t{i} * sizeof(T), static_cast<T>(last));
        } else if (fs == fsmax) {
            for (std::uint32_t k = 0; k < m; ++k, ++i) {
                std::uint32_t v = 0;
                if (!in.read(bbits, v)) return fail(end_of_stream());
                last += undo_mapping(v);
                store_be<T>(dst + std::size_t{i} * sizeof(T), static_cast<T>(last));
            }
        } else {
            for (std::uint32_t k = 0; k < m; ++k, ++i) {
                std::uint32_t zeros = 0, low = 0;
                if (!in.zero_run(zeros)) return fail(end_of_stream());
                if (fs > 0 && !in.read(fs, low)) return fail(end_of_stream());
                last += undo_mapping((zeros << fs) | low);
                store_be<T>(dst + std::size_t{i} * sizeof(T), static_cast<T>(last));
            }
        }
    }
    return {};
}

// Codes the tile's pixels, read as T (the difference wraps at the pixel width, so 1-byte
// pixels code alike read signed or unsigned); the checks are the caller's.
template <class T>
Result<Bytes> encode_blocks(const RiceParams& params, std::uint32_t blocksize, ByteSpan tile) {
    constexpr std::uint32_t bytepix = sizeof(T);
    const std::size_t npix = tile.size() / bytepix;
    const int bbits = static_cast<int>(params.bbits);
    const int fsbits = static_cast<int>(params.fsbits);
    constexpr std::uint64_t width_mask = ~std::uint64_t{0} >> (64 - 8 * bytepix);
    constexpr std::uint64_t sign_bit = std::uint64_t{1} << (8 * bytepix - 1);

    Bytes out;
    out.reserve(tile.size() / 2 + 16);
    RiceBitWriter w(out);
    std::int64_t last = load_be<T>(tile.data());
    w.put(static_cast<std::uint32_t>(last), bbits);

    std::vector<std::uint32_t> diffs(std::min<std::size_t>(blocksize, npix));
    for (std::size_t start = 0; start < npix; start += blocksize) {
        const std::size_t m = std::min<std::size_t>(blocksize, npix - start);
        double sum = 0.0;
        for (std::size_t k = 0; k < m; ++k) {
            const std::int64_t p = load_be<T>(tile.data() + (start + k) * bytepix);
            // The difference wraps at the pixel width and is read back as signed.
            std::uint64_t u = static_cast<std::uint64_t>(p - last) & width_mask;
            const std::int64_t d = (u & sign_bit) ? static_cast<std::int64_t>(u | ~width_mask)
                                                  : static_cast<std::int64_t>(u);
            const std::uint32_t v =
                d >= 0 ? static_cast<std::uint32_t>(2 * d) : static_cast<std::uint32_t>(-2 * d - 1);
            diffs[k] = v;
            sum += v;
            last = p;
        }
        double dpsum = ((sum - static_cast<double>(m / 2)) - 1.0) / static_cast<double>(m);
        if (dpsum < 0) dpsum = 0.0;
        std::uint64_t psum =
            dpsum >= 18446744073709551615.0 ? ~std::uint64_t{0} : static_cast<std::uint64_t>(dpsum);
        psum = (psum & width_mask) >> 1;
        const int fs = static_cast<int>(std::bit_width(psum));
        if (fs >= static_cast<int>(params.fsmax)) {
            w.put(params.fsmax + 1, fsbits);
            for (std::size_t k = 0; k < m; ++k)
                w.put(diffs[k], bbits);
        } else if (fs == 0 && sum == 0.0) {
            w.put(0, fsbits);
        } else {
            w.put(static_cast<std::uint32_t>(fs + 1), fsbits);
            const std::uint32_t low_mask = (std::uint32_t{1} << fs) - 1;
            for (std::size_t k = 0; k < m; ++k) {
                const std::uint32_t top = diffs[k] >> fs;
                const std::uint32_t code = (std::uint32_t{1} << fs) | (diffs[k] & low_mask);
                if (std::uint64_t{top} + 1 + static_cast<std::uint64_t>(fs) <= 32) {
                    // The zeros, the 1 bit and the low bits in one field.
                    w.put(code, static_cast<int>(top) + 1 + fs);
                } else {
                    w.zeros(top);
                    w.put(code, fs + 1);
                }
            }
        }
    }
    w.flush();
    return out;
}

}  // namespace

Result<RiceParams> rice_params(std::uint32_t bytepix) {
    switch (bytepix) {
        case 1:
            return RiceParams{3, 6, 8};
        case 2:
            return RiceParams{4, 14, 16};
        case 4:
            return RiceParams{5, 25, 32};
        default:
            return fail(Error::value(
                "ZVAL_BYTEPIX", "RICE BYTEPIX must be 1, 2, or 4, got " + std::to_string(bytepix)));
    }
}

Result<Bytes> rice_encode(std::uint32_t bytepix, std::uint32_t blocksize, ByteSpan tile) {
    VEXLO_ASSIGN_OR_RETURN(const RiceParams params, rice_params(bytepix));
    if (blocksize == 0) return fail(Error::value("ZVAL_BLOCKSIZE", "RICE BLOCKSIZE must be > 0"));
    if (tile.empty() || tile.size() % bytepix != 0) {
        return fail(Error::data("RICE_1 tile size " + std::to_string(tile.size()) +
                                " is not a positive multiple of BYTEPIX " +
                                std::to_string(bytepix)));
    }
    return visit_integer_width(bytepix, [&](auto tag) {
        return encode_blocks<typename decltype(tag)::type>(params, blocksize, tile);
    });
}

Result<void> rice_decode(std::uint32_t bytepix, std::uint32_t blocksize, std::uint32_t npix,
                         ByteSpan input, std::span<std::uint8_t> out) {
    const std::uint64_t need = std::uint64_t{npix} * bytepix;
    if (out.size() != need) {
        return fail(Error::data("RICE: destination buffer is " + std::to_string(out.size()) +
                                " bytes, need " + std::to_string(need)));
    }
    if (npix == 0) return {};
    VEXLO_ASSIGN_OR_RETURN(const RiceParams params, rice_params(bytepix));
    if (input.size() < bytepix) {
        return fail(Error::data("RICE: input shorter than the verbatim leading pixel"));
    }
    std::uint32_t last = 0;
    for (std::uint32_t k = 0; k < bytepix; ++k)
        last = (last << 8) | input[k];
    std::copy_n(input.begin(), bytepix, out.begin());
    if (npix == 1) return {};
    if (input.size() < std::size_t{bytepix} + 1) return fail(end_of_stream());

    BitReader in{input.data() + bytepix, input.data() + input.size()};
    return visit_integer_width(bytepix, [&](auto tag) {
        return decode_blocks<typename decltype(tag)::type>(params, blocksize, npix, last, in,
                                                           out.data());
    });
}

}  // namespace vexlo
