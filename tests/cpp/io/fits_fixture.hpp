// Small FITS files built in memory and written to temporary files for the file, image and
// loader tests.
#pragma once

#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "header/header.hpp"
#include "io/file.hpp"
#include "util/bytes.hpp"

namespace vexlo::fits_test {

// The whole content of a file, as a test reads back what was written.
inline Bytes read_back(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// One 80-byte card image: the text padded with blanks.
inline std::string card(std::string_view text) {
    std::string image(text.substr(0, 80));
    image.resize(80, ' ');
    return image;
}

// "KEY     = value" with the value right-justified to column 30 as writers do.
inline std::string kv(std::string_view keyword, std::string_view value) {
    std::string text(keyword);
    text.resize(8, ' ');
    text += "= ";
    if (value.size() < 20 && !value.starts_with("'")) text += std::string(20 - value.size(), ' ');
    text += value;
    return card(text);
}

inline std::string kv(std::string_view keyword, long long value) {
    return kv(keyword, std::to_string(value));
}

// Header blocks: the cards, END, and blank fill to a multiple of 2880.
inline Bytes header_blocks(const std::vector<std::string>& cards) {
    Bytes out;
    for (const std::string& c : cards)
        append_bytes(out, card(c));
    append_bytes(out, card("END"));
    while (out.size() % 2880 != 0)
        out.push_back(' ');
    return out;
}

// A parsed Header holding exactly these cards.
inline Header header_of(const std::vector<std::string>& cards) {
    Bytes bytes;
    for (const std::string& c : cards)
        append_bytes(bytes, card(c));
    return Header(std::move(bytes));
}

inline Bytes padded(Bytes data, std::uint8_t fill = 0) {
    while (data.size() % 2880 != 0)
        data.push_back(fill);
    return data;
}

inline void append(Bytes& out, const Bytes& more) {
    out.insert(out.end(), more.begin(), more.end());
}

// A whole HDU: header blocks then data padded with `fill`.
inline Bytes hdu(const std::vector<std::string>& cards, const Bytes& data = {},
                 std::uint8_t fill = 0) {
    Bytes out = header_blocks(cards);
    append(out, padded(data, fill));
    return out;
}

inline std::vector<std::string> primary_cards(int bitpix, std::vector<std::uint64_t> axes) {
    std::vector<std::string> c = {kv("SIMPLE", "T"), kv("BITPIX", bitpix),
                                  kv("NAXIS", static_cast<long long>(axes.size()))};
    for (std::size_t i = 0; i < axes.size(); ++i) {
        c.push_back(kv("NAXIS" + std::to_string(i + 1), static_cast<long long>(axes[i])));
    }
    return c;
}

inline std::vector<std::string> image_ext_cards(int bitpix, std::vector<std::uint64_t> axes) {
    std::vector<std::string> c = {kv("XTENSION", "'IMAGE   '"), kv("BITPIX", bitpix),
                                  kv("NAXIS", static_cast<long long>(axes.size()))};
    for (std::size_t i = 0; i < axes.size(); ++i) {
        c.push_back(kv("NAXIS" + std::to_string(i + 1), static_cast<long long>(axes[i])));
    }
    c.push_back(kv("PCOUNT", 0));
    c.push_back(kv("GCOUNT", 1));
    return c;
}

inline Bytes bytes_of(std::initializer_list<int> v) {
    Bytes out;
    for (const int b : v)
        out.push_back(static_cast<std::uint8_t>(b));
    return out;
}

// 0, 1, 2, ... (mod 256), n bytes.
inline Bytes ramp(std::size_t n) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<std::uint8_t>(i);
    return out;
}

// A gzip member (RFC 1952) holding `data`.
inline Bytes gzip(const Bytes& data) {
    z_stream zs{};
    if (deflateInit2(&zs, 6, Z_DEFLATED, 16 + 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("deflateInit2");
    }
    Bytes out(deflateBound(&zs, data.size()) + 64);
    zs.next_in = const_cast<Bytef*>(data.data());
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    if (deflate(&zs, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

// A file in the temporary directory, removed when the object goes.
class TempFile {
  public:
    explicit TempFile(const Bytes& content) {
        std::string tmpl = (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp");
        tmpl += "/vexlo_fits_XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        const int fd = mkstemp(buf.data());
        if (fd < 0) throw std::runtime_error("mkstemp");
        ::close(fd);
        path_ = buf.data();
        write(content);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() { std::remove(path_.c_str()); }

    const std::string& path() const { return path_; }

    void write(const Bytes& content) const {
        std::ofstream f(path_, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(content.data()),
                static_cast<std::streamsize>(content.size()));
    }
    void truncate(std::uint64_t len) const {
        if (::truncate(path_.c_str(), static_cast<off_t>(len)) != 0) {
            throw std::runtime_error("truncate");
        }
    }

  private:
    std::string path_;
};

inline std::string test_data(std::string_view name) {
    return std::string(VEXLO_TEST_DATA) + "/" + std::string(name);
}

// The same content opened from both backings: a plain file and a gzip one decoded into
// memory. `keep` holds the temporary files as long as the caller needs them.
inline std::vector<FitsFile> open_both(const Bytes& content,
                                       std::vector<std::unique_ptr<TempFile>>& keep) {
    std::vector<FitsFile> out;
    keep.push_back(std::make_unique<TempFile>(content));
    keep.push_back(std::make_unique<TempFile>(gzip(content)));
    for (std::size_t i = keep.size() - 2; i < keep.size(); ++i) {
        Result<FitsFile> r = FitsFile::open(keep[i]->path(), true);
        if (!r) throw std::runtime_error(r.error().message());
        out.push_back(std::move(*r));
    }
    return out;
}

}  // namespace vexlo::fits_test
