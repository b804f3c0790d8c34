// gzip input: the bytes are inflated under an output bound, and opened as a gzip-compressed
// file (the path every .gz file takes, whatever its content).
#include <cstddef>
#include <cstdint>

#include "io/file.hpp"
#include "io/gzip.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    (void)vexlo::gzip_inflate(vexlo::ByteSpan(data, size), std::size_t{1} << 24);
    vexlo::Result<vexlo::Bytes> content = vexlo::gunzip_and_pad(vexlo::Bytes(data, data + size));
    if (content) (void)vexlo::scan_buffer(std::move(*content), true);
    return 0;
}
