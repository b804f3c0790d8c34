#include "compression/hcompress.hpp"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <string>
#include <type_traits>
#include <vector>

#include "data/dispatch.hpp"
#include "data/pixel.hpp"

namespace vexlo {

namespace {

std::unexpected<Error> refuse(std::string msg) {
    return std::unexpected(Error::data(std::move(msg)));
}

std::string truncated(std::size_t need, std::size_t offset, std::size_t len) {
    return "HCOMPRESS_1 payload truncated: need " + std::to_string(need) + " bytes at offset " +
           std::to_string(offset) + " of " + std::to_string(len);
}

// Wrapping arithmetic in the coefficient width (signed overflow is undefined in C++).
template <class T>
T wadd(T a, T b) {
    using U = std::make_unsigned_t<T>;
    return static_cast<T>(static_cast<U>(a) + static_cast<U>(b));
}
template <class T>
T wsub(T a, T b) {
    using U = std::make_unsigned_t<T>;
    return static_cast<T>(static_cast<U>(a) - static_cast<U>(b));
}
template <class T>
T wmul(T a, T b) {
    using U = std::make_unsigned_t<T>;
    return static_cast<T>(static_cast<U>(a) * static_cast<U>(b));
}

// The smallest k with 2^k >= n (n >= 1).
int ceil_log2(std::uint64_t n) {
    return n <= 1 ? 0 : static_cast<int>(std::bit_width(n - 1));
}

// Bits most significant first. A read past the end records the failure and yields zeros; the
// callers check `failed` at the end of each bounded step.
struct BitInput {
    ByteSpan bytes;
    std::size_t pos = 0;
    std::uint32_t buffer = 0;
    int bits = 0;
    bool failed = false;
    std::size_t fail_pos = 0;

    void restart() {
        buffer = 0;
        bits = 0;
    }
    bool fetch() {
        if (pos >= bytes.size()) {
            if (!failed) fail_pos = pos;
            failed = true;
            return false;
        }
        buffer = (buffer << 8) | bytes[pos++];
        bits += 8;
        return true;
    }
    unsigned take(int n) {
        if (bits < n && !fetch()) return 0;
        bits -= n;
        return (buffer >> bits) & ((1u << n) - 1);
    }
    unsigned nybble() { return take(4); }
    unsigned bit() { return take(1); }

    // The prefix code for 4-bit values.
    unsigned code() {
        unsigned c = take(3);
        if (c < 4) return 1u << c;  // 000 001 010 011 -> 1 2 4 8
        c = (c << 1) | bit();
        switch (c) {
            case 8:
                return 3;
            case 9:
                return 5;
            case 10:
                return 10;
            case 11:
                return 12;
            case 12:
                return 15;
            default:
                break;
        }
        c = (c << 1) | bit();
        switch (c) {
            case 26:
                return 6;
            case 27:
                return 7;
            case 28:
                return 9;
            case 29:
                return 11;
            case 30:
                return 13;
            default:
                return bit() ? 14 : 0;
        }
    }

    std::string error() const { return truncated(1, fail_pos, bytes.size()); }
};

// Spreads the codes of the half-size level over nx x ny and replaces each set bit by a code
// read from the stream.
void expand_quadtree_codes(std::vector<std::uint8_t>& s, int nx, int ny, BitInput& in) {
    const int cx = (nx + 1) / 2;
    const int cy = (ny + 1) / 2;
    // Backwards, so no code is overwritten before it moves.
    for (int i = cx - 1; i >= 0; --i) {
        for (int j = cy - 1; j >= 0; --j) {
            const std::uint8_t c = s[static_cast<std::size_t>(i) * cy + j];
            const std::size_t k = static_cast<std::size_t>(2 * i) * ny + 2 * j;
            const bool right = 2 * j + 1 < ny;
            const bool below = 2 * i + 1 < nx;
            if (below && right) s[k + ny + 1] = c & 1;
            if (below) s[k + ny] = (c >> 1) & 1;
            if (right) s[k + 1] = (c >> 2) & 1;
            s[k] = (c >> 3) & 1;
        }
    }
    for (std::size_t k = static_cast<std::size_t>(nx) * ny; k-- > 0;) {
        if (s[k] != 0) s[k] = static_cast<std::uint8_t>(in.code());
    }
}

template <class T>
Result<void> qtree_decode(T* a, int ny, int nqx, int nqy, int nbits, BitInput& in) {
    if (nqx == 0 || nqy == 0) return {};
    const int log2n = ceil_log2(static_cast<std::uint64_t>(std::max(nqx, nqy)));
    const int sx = (nqx + 1) / 2;
    const int sy = (nqy + 1) / 2;
    std::vector<std::uint8_t> scratch(static_cast<std::size_t>(sx) * sy);
    using U = std::make_unsigned_t<T>;
    constexpr int kBits = sizeof(T) * 8;
    for (int b = nbits - 1; b >= 0; --b) {
        const unsigned format = in.nybble();
        if (format == 0) {
            for (auto& c : scratch)
                c = static_cast<std::uint8_t>(in.nybble());
        } else if (format == 0xF) {
            scratch[0] = static_cast<std::uint8_t>(in.code());
            if (scratch[0] == 0) continue;  // an empty plane: nothing below it is coded
            int nx = 1, nyy = 1, nfx = nqx, nfy = nqy;
            std::int64_t c = std::int64_t{1} << log2n;
            for (int k = 1; k < log2n; ++k) {
                c >>= 1;
                nx *= 2;
                nyy *= 2;
                if (nfx <= c) {
                    --nx;
                } else {
                    nfx -= c;
                }
                if (nfy <= c) {
                    --nyy;
                } else {
                    nfy -= c;
                }
                expand_quadtree_codes(scratch, nx, nyy, in);
                if (in.failed) return refuse(in.error());
            }
        } else if (!in.failed) {
            char hex[9];  // up to eight hex digits and the terminator
            std::snprintf(hex, sizeof hex, "%X", format);
            return refuse(std::string("HCOMPRESS_1 qtree_decode: bad format code 0x") + hex);
        }
        if (in.failed) return refuse(in.error());
        // One code per 2x2 block of the quadrant; bit 3 is the block's upper-left element.
        const U plane = U{1} << (b % kBits);
        for (int i = 0; i < nqx; i += 2) {
            for (int j = 0; j < nqy; j += 2) {
                const unsigned code = scratch[static_cast<std::size_t>(i / 2) * sy + j / 2];
                T* p = a + static_cast<std::size_t>(i) * ny + j;
                auto set = [&](T* q, unsigned bit) {
                    if (code & bit) *q = static_cast<T>(static_cast<U>(*q) | plane);
                };
                set(p, 8);
                if (j + 1 < nqy) set(p + 1, 4);
                if (i + 1 < nqx) set(p + ny, 2);
                if (i + 1 < nqx && j + 1 < nqy) set(p + ny + 1, 1);
            }
        }
    }
    return {};
}

template <class T>
Result<void> dodecode(std::vector<T>& a, int nx, int ny, const std::uint8_t nbits[3],
                      BitInput& in) {
    const int nx2 = (nx + 1) / 2;
    const int ny2 = (ny + 1) / 2;
    in.restart();
    T* base = a.data();
    VEXLO_TRY(qtree_decode(base, ny, nx2, ny2, nbits[0], in));
    VEXLO_TRY(qtree_decode(base + ny2, ny, nx2, ny / 2, nbits[1], in));
    VEXLO_TRY(
        qtree_decode(base + static_cast<std::size_t>(nx2) * ny, ny, nx / 2, ny2, nbits[1], in));
    VEXLO_TRY(qtree_decode(base + static_cast<std::size_t>(nx2) * ny + ny2, ny, nx / 2, ny / 2,
                           nbits[2], in));
    const unsigned end = in.nybble();
    if (in.failed) return refuse(in.error());
    if (end != 0) return refuse("HCOMPRESS_1 dodecode: bad bit plane values");
    in.restart();
    for (T& v : a) {
        if (v != 0 && in.bit()) v = wsub(T{0}, v);
    }
    if (in.failed) return refuse(in.error());
    return {};
}

// Moves the first (n + 1) / 2 of n elements (step `stride`) to the even places and the rest
// to the odd places.
template <class T>
void unshuffle(T* a, int n, std::size_t stride, std::vector<T>& tmp) {
    for (int k = 0; k < n; ++k)
        tmp[k] = a[k * stride];
    const int half = (n + 1) / 2;
    for (int k = 0; k < half; ++k)
        a[2 * k * stride] = tmp[k];
    for (int k = half; k < n; ++k)
        a[(2 * (k - half) + 1) * stride] = tmp[k];
}

template <class T>
T clamp_abs(T s, T smax) {
    return std::max(std::min(s, smax), wsub(T{0}, smax));
}

template <class T>
void smooth_pass(T* a, int nxtop, int nytop, int ny, int scale) {
    const T smax = static_cast<T>(scale >> 1);
    if (smax <= 0) return;
    auto at = [&](int i, int j) -> T& { return a[static_cast<std::size_t>(i) * ny + j]; };
    // Slopes along the rows, then along the columns.
    auto slope = [&](T hm, T h0, T hp, T& target) {
        T diff = wsub(hp, hm);
        const T dmax = wmul(std::max(std::min(wsub(hp, h0), wsub(h0, hm)), T{0}), T{4});
        const T dmin = wmul(std::min(std::max(wsub(hp, h0), wsub(h0, hm)), T{0}), T{4});
        if (dmin < dmax) {
            diff = std::max(std::min(diff, dmax), dmin);
            T s = wsub(diff, wmul(T{8}, target));
            s = s >= 0 ? static_cast<T>(s >> 3) : static_cast<T>(wadd(s, T{7}) >> 3);
            target = wadd(target, clamp_abs(s, smax));
        }
    };
    for (int i = 2; i < nxtop - 2; i += 2) {
        for (int j = 0; j < nytop; j += 2)
            slope(at(i - 2, j), at(i, j), at(i + 2, j), at(i + 1, j));
    }
    for (int i = 0; i < nxtop; i += 2) {
        for (int j = 2; j < nytop - 2; j += 2)
            slope(at(i, j - 2), at(i, j), at(i, j + 2), at(i, j + 1));
    }
    for (int i = 2; i < nxtop - 2; i += 2) {
        for (int j = 2; j < nytop - 2; j += 2) {
            const T hmm = at(i - 2, j - 2), hpm = at(i + 2, j - 2);
            const T hmp = at(i - 2, j + 2), hpp = at(i + 2, j + 2), h0 = at(i, j);
            T diff = wsub(wsub(wadd(hpp, hmm), hmp), hpm);
            const T hx2 = wmul(T{2}, at(i + 1, j));
            const T hy2 = wmul(T{2}, at(i, j + 1));
            T m1 = std::min(wsub(wsub(std::max(wsub(hpp, h0), T{0}), hx2), hy2),
                            wsub(wadd(std::max(wsub(h0, hpm), T{0}), hx2), hy2));
            T m2 = std::min(wadd(wsub(std::max(wsub(h0, hmp), T{0}), hx2), hy2),
                            wadd(wadd(std::max(wsub(hmm, h0), T{0}), hx2), hy2));
            const T dmax = wmul(std::min(m1, m2), T{16});
            m1 = std::max(wsub(wsub(std::min(wsub(hpp, h0), T{0}), hx2), hy2),
                          wsub(wadd(std::min(wsub(h0, hpm), T{0}), hx2), hy2));
            m2 = std::max(wadd(wsub(std::min(wsub(h0, hmp), T{0}), hx2), hy2),
                          wadd(wadd(std::min(wsub(hmm, h0), T{0}), hx2), hy2));
            const T dmin = wmul(std::max(m1, m2), T{16});
            if (dmin < dmax) {
                diff = std::max(std::min(diff, dmax), dmin);
                T& target = at(i + 1, j + 1);
                T s = wsub(diff, wmul(T{64}, target));
                s = s >= 0 ? static_cast<T>(s >> 6) : static_cast<T>(wadd(s, T{63}) >> 6);
                target = wadd(target, clamp_abs(s, smax));
            }
        }
    }
}

template <class T>
void inverse_h_transform(std::vector<T>& arr, int nx, int ny, bool smooth, int scale) {
    const int log2n = ceil_log2(static_cast<std::uint64_t>(std::max(nx, ny)));
    // A single coefficient is the pixel itself: there is no level to undo, and rounding it
    // with the masks of a level that does not exist would clear it.
    if (log2n == 0) return;
    T* a = arr.data();
    auto at = [&](int i, int j) -> T& { return a[static_cast<std::size_t>(i) * ny + j]; };
    T bit0 = static_cast<T>(T{1} << (log2n - 1));
    T bit1 = static_cast<T>(bit0 << 1);
    T bit2 = static_cast<T>(bit0 << 2);
    T mask0 = wsub(T{0}, bit0), mask1 = wsub(T{0}, bit1), mask2 = wsub(T{0}, bit2);
    T prnd0 = bit0 >> 1, prnd1 = bit1 >> 1, prnd2 = bit2 >> 1;
    T nrnd0 = prnd0 - 1, nrnd1 = prnd1 - 1, nrnd2 = prnd2 - 1;
    int shift = 1;
    auto round = [](T v, T prnd, T nrnd, T mask) {
        return static_cast<T>(wadd(v, v >= 0 ? prnd : nrnd) & mask);
    };
    a[0] = round(a[0], prnd2, nrnd2, mask2);

    std::vector<T> tmp(static_cast<std::size_t>(std::max(nx, ny)));
    int nxtop = 1, nytop = 1, nxf = nx, nyf = ny;
    std::int64_t c = std::int64_t{1} << log2n;
    for (int k = log2n - 1; k >= 0; --k) {
        c >>= 1;
        nxtop <<= 1;
        nytop <<= 1;
        if (nxf <= c) {
            --nxtop;
        } else {
            nxf -= c;
        }
        if (nyf <= c) {
            --nytop;
        } else {
            nyf -= c;
        }
        if (k == 0) {
            nrnd0 = 0;
            shift = 2;
        }
        for (int i = 0; i < nxtop; ++i)
            unshuffle(&at(i, 0), nytop, 1, tmp);
        for (int j = 0; j < nytop; ++j)
            unshuffle(&at(0, j), nxtop, static_cast<std::size_t>(ny), tmp);
        if (smooth && scale >= 2) smooth_pass(a, nxtop, nytop, ny, scale);

        const int oddx = nxtop % 2, oddy = nytop % 2;
        auto adjust = [&](T h0, T low) { return h0 >= 0 ? wsub(h0, low) : wadd(h0, low); };
        for (int i = 0; i < nxtop - oddx; i += 2) {
            for (int j = 0; j < nytop - oddy; j += 2) {
                T h0 = at(i, j);
                T hx = round(at(i + 1, j), prnd1, nrnd1, mask1);
                T hy = round(at(i, j + 1), prnd1, nrnd1, mask1);
                const T hc = round(at(i + 1, j + 1), prnd0, nrnd0, mask0);
                const T lowbit0 = hc & bit0;
                hx = hx >= 0 ? wsub(hx, lowbit0) : wadd(hx, lowbit0);
                hy = hy >= 0 ? wsub(hy, lowbit0) : wadd(hy, lowbit0);
                const T lowbit1 = (hc ^ hx ^ hy) & bit1;
                h0 = (h0 >= 0 || lowbit0 != 0) ? wsub(wadd(h0, lowbit0), lowbit1)
                                               : wadd(h0, lowbit1);
                at(i + 1, j + 1) = static_cast<T>(wadd(wadd(h0, hx), wadd(hy, hc)) >> shift);
                at(i + 1, j) = static_cast<T>(wsub(wadd(h0, hx), wadd(hy, hc)) >> shift);
                at(i, j + 1) = static_cast<T>(wadd(wsub(h0, hx), wsub(hy, hc)) >> shift);
                at(i, j) = static_cast<T>(wadd(wsub(wsub(h0, hx), hy), hc) >> shift);
            }
            if (oddy) {
                const int j = nytop - 1;
                const T hx = round(at(i + 1, j), prnd1, nrnd1, mask1);
                const T lowbit1 = hx & bit1;
                const T h0 = adjust(at(i, j), lowbit1);
                at(i + 1, j) = static_cast<T>(wadd(h0, hx) >> shift);
                at(i, j) = static_cast<T>(wsub(h0, hx) >> shift);
            }
        }
        if (oddx) {
            const int i = nxtop - 1;
            for (int j = 0; j < nytop - oddy; j += 2) {
                const T hy = round(at(i, j + 1), prnd1, nrnd1, mask1);
                const T lowbit1 = hy & bit1;
                const T h0 = adjust(at(i, j), lowbit1);
                at(i, j + 1) = static_cast<T>(wadd(h0, hy) >> shift);
                at(i, j) = static_cast<T>(wsub(h0, hy) >> shift);
            }
            if (oddy) at(i, nytop - 1) = static_cast<T>(at(i, nytop - 1) >> shift);
        }
        bit2 = bit1;
        bit1 = bit0;
        bit0 = bit0 >> 1;
        mask1 = mask0;
        mask0 = mask0 >> 1;
        prnd1 = prnd0;
        prnd0 = prnd0 >> 1;
        nrnd1 = nrnd0;
        nrnd0 = prnd0 - 1;
    }
    (void)bit2;
}

template <class T>
Result<void> decode_as(ByteSpan input, std::size_t pos, int nx, int ny, std::int32_t stream_scale,
                       bool smooth, std::uint32_t width, std::span<std::uint8_t> out) {
    if (input.size() - pos < 8) return refuse(truncated(8, pos, input.size()));
    const std::int64_t total = load_be_i64(input.data() + pos);
    pos += 8;
    if (input.size() - pos < 3) return refuse(truncated(3, pos, input.size()));
    const std::uint8_t nbits[3] = {input[pos], input[pos + 1], input[pos + 2]};
    pos += 3;

    std::vector<T> a;
    try {
        a.assign(static_cast<std::size_t>(nx) * static_cast<std::size_t>(ny), T{0});
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::out_of_memory(
            Error::data("HCOMPRESS_1 tile of " + std::to_string(nx) + "x" + std::to_string(ny) +
                        " pixels does not fit in memory")));
    }
    BitInput in{input};
    in.pos = pos;
    VEXLO_TRY(dodecode(a, nx, ny, nbits, in));
    a[0] = static_cast<T>(total);
    if (stream_scale > 1) {
        for (T& v : a)
            v = wmul(v, static_cast<T>(stream_scale));
    }
    inverse_h_transform(a, nx, ny, smooth, stream_scale);

    // The pixel width is chosen once per tile; the store loop has no dispatch.
    return visit_integer_width(width, [&](auto tag) {
        using P = typename decltype(tag)::type;
        std::uint8_t* dst = out.data();
        for (const T v : a) {
            store_be<P>(dst, static_cast<P>(v));
            dst += sizeof(P);
        }
    });
}

}  // namespace

Result<void> hcompress_decode(ByteSpan input, std::uint32_t width, std::uint64_t npix,
                              std::int32_t scale, bool smooth, std::span<std::uint8_t> out) {
    if (width != 1 && width != 2 && width != 4 && width != 8) {
        return refuse("HCOMPRESS_1 only supports 1/2/4/8-byte integer pixels, got bp=" +
                      std::to_string(width));
    }
    std::uint64_t need = 0;
    if (__builtin_mul_overflow(npix, std::uint64_t{width}, &need)) {
        return refuse("HCOMPRESS_1 destination size overflows usize");
    }
    if (out.size() != need) {
        return refuse("HCOMPRESS_1 destination is " + std::to_string(out.size()) +
                      " bytes, expected " + std::to_string(need));
    }
    if (npix == 0) return {};

    // Header: magic, nx, ny, scale.
    if (input.size() < 2) return refuse(truncated(2, 0, input.size()));
    if (input[0] != 0xDD || input[1] != 0x99) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "%02X %02X", input[0], input[1]);
        return refuse(std::string("HCOMPRESS_1 bad magic bytes ") + hex + " (expected DD 99)");
    }
    std::size_t pos = 2;
    std::int32_t fields[3] = {};
    for (std::int32_t& f : fields) {
        if (input.size() - pos < 4) return refuse(truncated(4, pos, input.size()));
        f = load_be_i32(input.data() + pos);
        pos += 4;
    }
    const std::int32_t nx = fields[0], ny = fields[1], stream_scale = fields[2];
    if (nx <= 0 || ny <= 0) {
        return refuse("HCOMPRESS_1 declares non-positive dimensions " + std::to_string(nx) + "x" +
                      std::to_string(ny));
    }
    const std::int64_t product = std::int64_t{nx} * ny;  // both below 2^31: no overflow
    if (static_cast<std::uint64_t>(product) != npix) {
        return refuse("HCOMPRESS_1 payload describes " + std::to_string(nx) + "x" +
                      std::to_string(ny) + " = " + std::to_string(product) +
                      " pixels, tile expects " + std::to_string(npix));
    }
    if (scale != 0 && scale != stream_scale) {
        return refuse("HCOMPRESS_1 SCALE mismatch: ZVALn says " + std::to_string(scale) +
                      ", payload says " + std::to_string(stream_scale));
    }
    if (width <= 2)
        return decode_as<std::int32_t>(input, pos, nx, ny, stream_scale, smooth, width, out);
    return decode_as<std::int64_t>(input, pos, nx, ny, stream_scale, smooth, width, out);
}

}  // namespace vexlo
