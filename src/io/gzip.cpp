#include "io/gzip.hpp"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <limits>
#include <memory>
#include <new>
#include <string>

namespace vexlo {

namespace {

// A gzip wrapper (no zlib or raw deflate fallback) with a 32 KiB window.
constexpr int kGzipWindowBits = 16 + 15;
constexpr std::size_t kInputChunk = 32768;
// zlib counts in 32-bit units; larger spans are fed in pieces of at most this.
constexpr std::size_t kMaxStep = std::size_t{1} << 30;
// The largest deflate buffer a deflater keeps between pieces.
constexpr std::size_t kKeptScratch = std::size_t{4} << 20;

Error gzip_error(const z_stream& zs, const char* fallback) {
    return Error::io(std::string("gzip: ") + (zs.msg != nullptr ? zs.msg : fallback));
}

Error too_large(std::size_t max_out, std::uint64_t excess) {
    return Error::io("gzip: decoded data exceeds the expected " + std::to_string(max_out) +
                     " bytes by " + std::to_string(excess));
}

// Where decoded bytes go: a span that may grow (a Bytes buffer) up to `max`. Once the
// limit is reached the rest of the member is decoded into scratch and only counted.
struct Output {
    Bytes* grow = nullptr;  // null: `fixed` is all the room there is
    std::span<std::uint8_t> fixed;
    std::size_t max = 0;
    std::size_t have = 0;
    std::uint64_t excess = 0;
    // Run once on the first `check_len` bytes, before more is decoded.
    const std::function<Result<void>(ByteSpan)>* check = nullptr;
    std::size_t check_len = 0;

    std::span<std::uint8_t> room() const {
        return grow != nullptr ? std::span<std::uint8_t>(*grow) : fixed;
    }

    // Makes room for more output; false once the limit is reached. A buffer grows within
    // its reserved capacity first, so that a good size hint means no copy at all.
    Result<bool> make_room() {
        const std::size_t cap = room().size();
        if (have < cap) return true;
        if (grow == nullptr || cap >= max) return false;
        const std::size_t reserved = grow->capacity();
        std::size_t step = std::max<std::size_t>(cap / 2, 65536);
        if (cap < reserved) step = std::min(step, reserved - cap);
        try {
            grow->resize(cap + std::min(step, max - cap));
        } catch (const std::bad_alloc&) {
            return fail(Error::out_of_memory());
        }
        return true;
    }

    // Output may go on once the first bytes have been checked.
    Result<void> run_check(bool at_end) {
        if (check == nullptr || (have < check_len && !at_end)) return {};
        const auto* run = check;
        check = nullptr;
        return (*run)(room().first(std::min(have, check_len)));
    }
};

struct Inflater {
    z_stream zs{};
    bool live = false;
    ~Inflater() {
        if (live) inflateEnd(&zs);
    }
};

// Decodes one gzip member from the start of `in` into `out`; returns the input consumed.
// A member may be followed by more bytes (a reader of several members resumes there).
Result<std::size_t> inflate_member(ByteSpan in, Output& out) {
    Inflater inf;
    if (inflateInit2(&inf.zs, kGzipWindowBits) != Z_OK) {
        return fail(gzip_error(inf.zs, "cannot initialise the decoder"));
    }
    inf.live = true;
    std::array<std::uint8_t, 65536> scratch;
    std::size_t in_pos = 0;
    for (;;) {
        if (inf.zs.avail_in == 0 && in_pos < in.size()) {
            const std::size_t n = std::min(kInputChunk, in.size() - in_pos);
            // zlib takes a non-const pointer but never writes through it.
            inf.zs.next_in = const_cast<Bytef*>(in.data() + in_pos);
            inf.zs.avail_in = static_cast<uInt>(n);
            in_pos += n;
        }
        VEXLO_ASSIGN_OR_RETURN(const bool fits, out.make_room());
        std::span<std::uint8_t> dest =
            fits ? out.room().subspan(out.have) : std::span<std::uint8_t>(scratch);
        dest = dest.first(std::min(dest.size(), kMaxStep));
        // Nothing past the checked prefix is decoded before the check.
        if (fits && out.check != nullptr) {
            dest = dest.first(std::min(dest.size(), out.check_len - out.have));
        }
        inf.zs.next_out = dest.data();
        inf.zs.avail_out = static_cast<uInt>(dest.size());
        const int rc = inflate(&inf.zs, Z_NO_FLUSH);
        const std::size_t produced = dest.size() - inf.zs.avail_out;
        if (fits) {
            out.have += produced;
            VEXLO_TRY(out.run_check(false));
        } else {
            out.excess += produced;
        }
        if (rc == Z_STREAM_END) return in_pos - inf.zs.avail_in;
        if (rc == Z_OK) continue;
        if (rc == Z_BUF_ERROR) {
            // No progress possible: more output room is made above; without more input the
            // stream ended early.
            if (inf.zs.avail_out != 0 && inf.zs.avail_in == 0 && in_pos >= in.size()) {
                return fail(Error::io("gzip: unexpected end of compressed stream"));
            }
            continue;
        }
        if (rc == Z_MEM_ERROR) return fail(Error::out_of_memory());
        return fail(gzip_error(inf.zs, "corrupt compressed stream"));
    }
}

// A gzip file is a series of members (concatenated .gz files, bgzip blocks); their decoded
// bytes follow each other under one bound. Bytes after a member that do not start another
// one (zero padding, for instance) are ignored.
Result<void> inflate_members(ByteSpan in, Output& out) {
    std::size_t pos = 0;
    do {
        VEXLO_ASSIGN_OR_RETURN(const std::size_t used, inflate_member(in.subspan(pos), out));
        if (used == 0) break;
        pos += used;
    } while (is_gzip(in.subspan(pos)));
    VEXLO_TRY(out.run_check(true));
    if (out.excess > 0) return fail(too_large(out.max, out.excess));
    return {};
}

// The decoded size a single-member stream names in its trailer (modulo 2^32), believed
// only up to what deflate could expand `in` to; 0 when there is none.
std::size_t trailer_size_hint(ByteSpan in, std::size_t max_out) {
    // Deflate expands at most 1032 times; a larger claim is not a real size.
    constexpr std::size_t kMaxRatio = 1032;
    if (in.size() < 18) return 0;
    const std::uint8_t* t = in.data() + in.size() - 4;
    const std::size_t isize = std::size_t{t[0]} | std::size_t{t[1]} << 8 | std::size_t{t[2]} << 16 |
                              std::size_t{t[3]} << 24;
    const std::size_t bound = in.size() <= max_out / kMaxRatio ? in.size() * kMaxRatio : max_out;
    return std::min(isize, bound);
}

Result<Bytes> inflate_growing(ByteSpan in, std::size_t max_out, std::size_t spare,
                              std::size_t check_len,
                              const std::function<Result<void>(ByteSpan)>* check) {
    Bytes buf;
    try {
        // Capacity is only reserved: pages are touched as output arrives, so a false
        // trailer costs address space, not memory.
        const std::size_t hint = trailer_size_hint(in, max_out);
        if (hint > 0 && hint <= std::numeric_limits<std::size_t>::max() - spare) {
            buf.reserve(hint + spare);
        }
        buf.resize(std::min<std::size_t>(std::max<std::size_t>(check_len, 4096), max_out));
    } catch (const std::bad_alloc&) {
        return fail(Error::out_of_memory());
    }
    Output out;
    out.grow = &buf;
    out.max = max_out;
    out.check = check;
    out.check_len = check_len;
    VEXLO_TRY(inflate_members(in, out));
    buf.resize(out.have);
    return buf;
}

}  // namespace

bool is_gzip(ByteSpan bytes) {
    return bytes.size() >= 2 && bytes[0] == 0x1F && bytes[1] == 0x8B;
}

Result<Bytes> gzip_inflate(ByteSpan in, std::size_t max_out) {
    return inflate_growing(in, max_out, 0, 0, nullptr);
}

Result<Bytes> gzip_inflate_checked(ByteSpan in, std::size_t max_out, std::size_t spare,
                                   std::size_t check_len,
                                   const std::function<Result<void>(ByteSpan)>& check) {
    return inflate_growing(in, max_out, spare, check_len, &check);
}

Result<std::size_t> gzip_inflate_into(ByteSpan in, std::span<std::uint8_t> dest) {
    Output out;
    out.fixed = dest;
    out.max = dest.size();
    VEXLO_TRY(inflate_members(in, out));
    return out.have;
}

Result<std::uint64_t> gzip_inflate_counted(ByteSpan in, std::span<std::uint8_t> dest) {
    Output out;
    out.fixed = dest;
    out.max = dest.size();
    VEXLO_TRY(inflate_member(in, out));
    return out.have + out.excess;
}

void GzipDeflater::FreeCompressor::operator()(libdeflate_compressor* c) const {
    libdeflate_free_compressor(c);
}

Result<Bytes> gzip_deflate(ByteSpan in, GzipDeflater& deflater) {
    if (deflater.compressor == nullptr) deflater.compressor.reset(libdeflate_alloc_compressor(6));
    if (deflater.compressor == nullptr) return fail(Error::out_of_memory());
    // The stream goes to a reused buffer of the worst-case size and leaves as a copy of its
    // own size; a buffer grown for a huge tile is not kept.
    libdeflate_compressor* const c = deflater.compressor.get();
    Bytes& scratch = deflater.scratch;
    try {
        scratch.resize(libdeflate_gzip_compress_bound(c, in.size()));
        const std::size_t n =
            libdeflate_gzip_compress(c, in.data(), in.size(), scratch.data(), scratch.size());
        Bytes out(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(n));
        if (scratch.size() > kKeptScratch) Bytes().swap(scratch);
        if (n == 0) return fail(Error::io("gzip: cannot compress"));  // within the bound: never
        return out;
    } catch (const std::bad_alloc&) {
        return fail(Error::out_of_memory());
    }
}

}  // namespace vexlo
