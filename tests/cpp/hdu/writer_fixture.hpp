// Small helpers shared by the writer, builder and verification tests: card texts, headers,
// temporary files and an independent ones'-complement sum.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "hdu/writer.hpp"
#include "header/header.hpp"
#include "util/bytes.hpp"

namespace vexlo::write_testing {

// Adds every big-endian word into one wide accumulator, folding the carry back after each
// addition: a different route from the library's split 16-bit accumulators.
inline std::uint32_t reference_sum(ByteSpan bytes) {
    std::uint64_t s = 0;
    for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        const std::uint32_t w = (std::uint32_t{bytes[i]} << 24) |
                                (std::uint32_t{bytes[i + 1]} << 16) |
                                (std::uint32_t{bytes[i + 2]} << 8) | std::uint32_t{bytes[i + 3]};
        s += w;
        while (s >> 32)
            s = (s & 0xFFFFFFFFu) + (s >> 32);
    }
    return static_cast<std::uint32_t>(s);
}

// Deterministic pseudo-random bytes (xorshift) for sums over arbitrary content.
inline Bytes noise(std::size_t n, std::uint32_t seed) {
    Bytes out(n);
    std::uint32_t x = seed;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return out;
}

inline std::string image(std::string_view text) {
    std::string s(text);
    s.resize(80, ' ');
    return s;
}

inline Header header_of(const std::vector<std::string>& cards) {
    Bytes b;
    for (const std::string& c : cards)
        append_bytes(b, image(c));
    return Header(std::move(b));
}

inline std::string kv(std::string_view key, std::string_view value) {
    std::string k(key);
    k.resize(8, ' ');
    std::string v(value);
    if (v.size() < 20 && v[0] != '\'') v.insert(0, 20 - v.size(), ' ');
    return k + "= " + v;
}

inline std::vector<std::string> primary_cards(std::vector<std::string> axes = {}, int bitpix = 8) {
    std::vector<std::string> c = {kv("SIMPLE", "T"), kv("BITPIX", std::to_string(bitpix)),
                                  kv("NAXIS", std::to_string(axes.size()))};
    for (std::size_t i = 0; i < axes.size(); ++i)
        c.push_back(kv(std::string("NAXIS").append(std::to_string(i + 1)), axes[i]));
    return c;
}

inline std::vector<std::string> extension_cards(std::string_view xtension,
                                                std::vector<std::string> axes, int bitpix = 8) {
    std::string quoted = "'";
    quoted.append(xtension);
    quoted += '\'';
    std::vector<std::string> c = {kv("XTENSION", quoted), kv("BITPIX", std::to_string(bitpix)),
                                  kv("NAXIS", std::to_string(axes.size()))};
    for (std::size_t i = 0; i < axes.size(); ++i)
        c.push_back(kv(std::string("NAXIS").append(std::to_string(i + 1)), axes[i]));
    c.push_back(kv("PCOUNT", "0"));
    c.push_back(kv("GCOUNT", "1"));
    return c;
}

class TempDir {
  public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "vexlo-test-XXXXXX").string();
        path_ = ::mkdtemp(tmpl.data()) ? tmpl : std::string();
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

  private:
    std::string path_;
};

inline Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A writer over a new file; finish() flushes and closes it.
struct FileWriter {
    TempDir dir;
    std::string path = dir.file("out.fits");
    FitsWriter w;

    explicit FileWriter(bool checksums = false) {
        auto out = BufWriter::create(path, false);
        EXPECT_TRUE(out.has_value());
        w = FitsWriter::owning(std::move(*out), 0, checksums);
    }
    Bytes finish() {
        auto r = std::move(w).finish();
        EXPECT_TRUE(r.has_value()) << r.error().message();
        if (r) *r = BufWriter();  // close the file
        return read_file(path);
    }
};

}  // namespace vexlo::write_testing
