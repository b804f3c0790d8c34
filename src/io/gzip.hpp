// The gzip codec shared by file opening and tile compression: inflation into an output of
// bounded size, and deflation at level 6. Only gzip streams (RFC 1952 wrapper) are read and
// written; zlib-wrapped or raw deflate data is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "error.hpp"
#include "util/bytes.hpp"

struct libdeflate_compressor;

namespace vexlo {

// Whether the bytes start with the gzip magic 1F 8B.
bool is_gzip(ByteSpan bytes);

// The decoded members of a gzip stream, one after the other; bytes after a member that do
// not start another member are ignored. More than `max_out` decoded bytes in all is an
// error whose message says by how much the limit was passed.
Result<Bytes> gzip_inflate(ByteSpan in, std::size_t max_out);

// gzip_inflate for a whole file: `check` sees the first `check_len` decoded bytes (all of
// them when there are fewer) before anything more is decoded, and its failure ends the
// decoding. The result has room for `spare` more bytes without moving.
Result<Bytes> gzip_inflate_checked(ByteSpan in, std::size_t max_out, std::size_t spare,
                                   std::size_t check_len,
                                   const std::function<Result<void>(ByteSpan)>& check);

// Decodes the members straight into `out` and returns the count written; members that
// decode to more than out.size() bytes in all are an error.
Result<std::size_t> gzip_inflate_into(ByteSpan in, std::span<std::uint8_t> out);

// Decodes the first member into `out` and returns its whole decoded length: bytes beyond
// out.size() are decoded into scratch and only counted, so a caller can say by how much a
// member missed its expected size without ever holding more than that.
Result<std::uint64_t> gzip_inflate_counted(ByteSpan in, std::span<std::uint8_t> out);

// A compressor and the buffer it writes into, kept from call to call by whoever compresses
// many pieces in a row (a part of a pass, one per part): its state is large, and tiles come
// by the thousand. Empty until its first use.
struct GzipDeflater {
    struct FreeCompressor {
        void operator()(libdeflate_compressor* c) const;
    };
    std::unique_ptr<libdeflate_compressor, FreeCompressor> compressor;
    Bytes scratch;
};

// One gzip member holding `in`, compressed whole at level 6 (by libdeflate, whose stream
// differs from zlib's at the same level; any inflater decodes either), with `deflater`'s
// compressor and buffer.
Result<Bytes> gzip_deflate(ByteSpan in, GzipDeflater& deflater);

}  // namespace vexlo
