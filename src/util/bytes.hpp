// Byte containers used across the core.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vexlo {

using Bytes = std::vector<std::uint8_t>;
using ByteSpan = std::span<const std::uint8_t>;

inline std::string_view as_chars(ByteSpan b) {
    return {reinterpret_cast<const char*>(b.data()), b.size()};
}
inline ByteSpan as_bytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}
inline void append_bytes(Bytes& out, std::string_view s) {
    out.insert(out.end(), s.begin(), s.end());
}

}  // namespace vexlo
