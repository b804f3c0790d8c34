#include "hdu/hdu.hpp"

#include <string>

namespace vexlo {

std::string_view Hdu::kind_name() const {
    switch (kind()) {
        case Kind::Image:
            return "Image";
        case Kind::RandomGroups:
            return "RandomGroups";
        case Kind::AsciiTable:
            return "AsciiTable";
        case Kind::BinTable:
            return "BinTable";
        case Kind::CompressedImage:
            return "CompressedImage";
        case Kind::Conforming:
            return "Conforming";
    }
    return "";
}

const Header& Hdu::header() const {
    return std::visit(
        [](const auto& rec) -> const Header& {
            if constexpr (requires { rec.header; }) {
                return rec.header;
            } else {
                return rec.inner.header;
            }
        },
        value);
}

std::string Hdu::debug_prefix(std::size_t max_chars) const {
    static constexpr std::string_view kTypeNames[] = {
        "ImageHdu",    "RandomGroupsHdu",    "AsciiTableHdu",
        "BinTableHdu", "CompressedImageHdu", "ConformingHdu",
    };
    std::string out(kind_name());
    out += "(";
    out += kTypeNames[value.index()];
    out += " { ";
    if (kind() == Kind::CompressedImage) out += "inner: BinTableHdu { ";
    out += "header: Header { bytes: [";
    bool first = true;
    for (const std::uint8_t b : header().bytes()) {
        if (out.size() >= max_chars) break;
        if (!first) out += ", ";
        out += std::to_string(b);
        first = false;
    }
    if (out.size() < max_chars) out += "] } ... }";
    if (out.size() > max_chars) out.resize(max_chars);
    return out;
}

}  // namespace vexlo
