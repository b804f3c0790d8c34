#include "hdu/writer.hpp"

#include <cstring>
#include <string>
#include <string_view>

#include "data/size.hpp"
#include "hdu/checksum.hpp"
#include "header/block.hpp"
#include "io/replace.hpp"
#include "util/text.hpp"

namespace vexlo {

// ---- checks ----

Result<void> check_header_for_write(const Header& header, bool is_primary) {
    if (is_primary) {
        const std::optional<Value> simple = header.get_value("SIMPLE");
        if (!simple || !simple->is(Value::Kind::Logical)) {
            return fail(Error::header("primary HDU header is missing SIMPLE = T"));
        }
        if (!simple->logical) {
            return fail(Error::header(
                "primary HDU has SIMPLE = F (non-conforming files cannot be written)"));
        }
    } else {
        const std::optional<Value> xtension = header.get_value("XTENSION");
        if (!xtension || !xtension->is(Value::Kind::String)) {
            return fail(Error::header("extension HDU header is missing XTENSION"));
        }
        if (!header.get_i64("PCOUNT")) {
            return std::unexpected(
                Error::header("extension HDU header is missing or has non-integer PCOUNT"));
        }
        if (!header.get_i64("GCOUNT")) {
            return std::unexpected(
                Error::header("extension HDU header is missing or has non-integer GCOUNT"));
        }
    }

    const std::optional<Value> bitpix = header.get_value("BITPIX");
    if (!bitpix || !bitpix->is(Value::Kind::Integer)) {
        return fail(Error::header("HDU header is missing or has non-integer BITPIX"));
    }
    if (!is_valid_bitpix(bitpix->integer)) {
        return fail(Error::header("BITPIX = " + std::to_string(bitpix->integer) +
                                  " is not one of 8, 16, 32, 64, -32, -64"));
    }

    const std::optional<Value> naxis = header.get_value("NAXIS");
    if (!naxis || !naxis->is(Value::Kind::Integer)) {
        return fail(Error::header("HDU header is missing or has non-integer NAXIS"));
    }
    if (naxis->integer < 0) {
        return std::unexpected(
            Error::header("NAXIS = " + std::to_string(naxis->integer) + " is negative"));
    }
    // The loop stops at the first missing NAXISn, so a huge NAXIS costs at most one lookup
    // per card of the header.
    const auto n_axes = static_cast<std::uint64_t>(naxis->integer);
    for (std::uint64_t n = 1; n <= n_axes; ++n) {
        const std::string key = indexed_keyword("NAXIS", n);
        const std::optional<Value> v = header.get_value(key);
        if (!v || !v->is(Value::Kind::Integer)) {
            return std::unexpected(
                Error::header("HDU header is missing or has non-integer " + key));
        }
        if (v->integer < 0) {
            return std::unexpected(
                Error::header(key + " = " + std::to_string(v->integer) + " is negative"));
        }
    }
    return {};
}

std::uint8_t data_fill_byte(const Header& header) {
    const std::optional<Value> xtension = header.get_value("XTENSION");
    if (xtension && xtension->is(Value::Kind::String) && trim_ws_end(xtension->text) == "TABLE") {
        return 0x20;
    }
    return 0x00;
}

// ---- FitsWriter ----

FitsWriter FitsWriter::owning(BufWriter out, std::uint64_t hdus_written, bool checksums) {
    FitsWriter w;
    w.out = std::move(out);
    w.hdus_written = hdus_written;
    w.checksums = checksums;
    return w;
}

FitsWriter FitsWriter::borrowing(BufWriter& out, std::uint64_t hdus_written, bool checksums) {
    FitsWriter w;
    w.out = &out;
    w.hdus_written = hdus_written;
    w.checksums = checksums;
    return w;
}

BufWriter& FitsWriter::output() {
    if (BufWriter** borrowed = std::get_if<BufWriter*>(&out)) return **borrowed;
    return std::get<BufWriter>(out);
}

Result<std::uint64_t> FitsWriter::write_header_for_copy(const Header& header) {
    VEXLO_TRY(check_header_for_write(header, hdus_written == 0));
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t declared, data_section_size(header));
    VEXLO_TRY(output().write(header.to_bytes()));
    ++hdus_written;
    return declared;
}

std::uint64_t written_len(const Header& header, std::uint64_t data_len) {
    return header.to_bytes().size() + padded_len(data_len);
}

Result<void> FitsWriter::write_hdu(const Header& header, ByteSpan data) {
    return write_hdu(header, data, checksums);
}

Result<void> FitsWriter::write_hdu(const Header& header, ByteSpan data, bool stamp) {
    VEXLO_TRY(check_header_for_write(header, hdus_written == 0));

    // A header the reader would refuse to size (too many axes, negative counts, a size
    // beyond 64 bits) would make an unreadable file, so its error stops the write.
    VEXLO_ASSIGN_OR_RETURN(const std::uint64_t declared, data_section_size(header));
    if (declared != data.size()) {
        return fail(Error::header("data section is " + std::to_string(data.size()) +
                                  " bytes but header declares " + std::to_string(declared) +
                                  " bytes"));
    }

    Bytes header_bytes;
    if (stamp) {
        Header copy = header.clone();
        if (!copy.contains("DATASUM")) {
            VEXLO_TRY(copy.push_card("DATASUM", Value::make_string("0"), std::nullopt));
        }
        if (!copy.contains("CHECKSUM")) {
            VEXLO_TRY(
                copy.push_card("CHECKSUM", Value::make_string("0000000000000000"), std::nullopt));
        }
        header_bytes = copy.to_bytes();
    } else {
        header_bytes = header.to_bytes();
    }

    const std::uint8_t fill = data_fill_byte(header);
    // `declared` equals data.size(), so the rounding cannot overflow.
    const std::uint64_t padded = padded_len(data.size());

    if (stamp) {
        VEXLO_TRY(stamp_checksums_with_datasum(header_bytes, padded_data_sum(data, fill, padded)));
    }

    BufWriter& o = output();
    VEXLO_TRY(o.write(header_bytes));
    VEXLO_TRY(o.write(data));
    const std::size_t n_fill = static_cast<std::size_t>(padded - data.size());
    if (n_fill > 0) {
        std::uint8_t fill_block[kBlockLen];
        std::memset(fill_block, fill, n_fill);
        VEXLO_TRY(o.write(ByteSpan(fill_block, n_fill)));
    }
    ++hdus_written;
    return {};
}

Result<void> FitsWriter::write_raw_padded(ByteSpan bytes) {
    if (bytes.size() % kBlockLen != 0) {
        return fail(Error::io("write_raw_padded: HDU bytes (" + std::to_string(bytes.size()) +
                              ") not block-aligned"));
    }
    VEXLO_TRY(output().write(bytes));
    ++hdus_written;
    return {};
}

Result<BufWriter> FitsWriter::finish() && {
    if (BufWriter** borrowed = std::get_if<BufWriter*>(&out)) {
        VEXLO_TRY((*borrowed)->flush());
        return BufWriter();
    }
    BufWriter& owned = std::get<BufWriter>(out);
    VEXLO_TRY(owned.flush());
    return std::move(owned);
}

Result<void> write_fits_file(const std::string& path, bool overwrite, bool checksums,
                             std::span<const HduView> hdus) {
    VEXLO_ASSIGN_OR_RETURN(ReplacingFile file,
                           ReplacingFile::create(path, overwrite, Durability::Unforced));
    {
        // The writer is done with the file before it is committed or discarded.
        FitsWriter writer = FitsWriter::owning(file.writer(), 0, checksums);
        for (const HduView& hdu : hdus)
            VEXLO_TRY(writer.write_hdu(*hdu.header, hdu.data));
        VEXLO_TRY(std::move(writer).finish());
    }
    return file.commit();
}

}  // namespace vexlo
