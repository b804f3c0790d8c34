#include "diff/engine.hpp"

#include <algorithm>
#include <new>

#include "diff/data.hpp"
#include "hdu/hdu.hpp"
#include "hdu/load.hpp"
#include "io/file.hpp"
#include "util/debug.hpp"
#include "util/number.hpp"
#include "util/text.hpp"

namespace vexlo {

namespace {

Result<FitsFile> open_named(const std::string& path) {
    Result<FitsFile> file = FitsFile::open(path, true);
    if (!file) return std::unexpected(error_in_file(std::move(file).error(), path));
    return file;
}

// One HDU as the comparison needs it: its header, and either the geometry of a plain image
// (whose pixels are then streamed, never held) or the loaded record of any other kind.
struct LoadedHdu {
    Header header;
    std::optional<ImageGeometry> image;
    std::optional<Hdu> hdu;

    std::string_view kind() const { return image ? "IMAGE" : diff_kind_name(*hdu); }
};

Result<LoadedHdu> load_for_diff(const FitsFile& file, std::size_t index, const std::string& path) {
    const auto named = [&](Error e) { return std::unexpected(error_in_file(std::move(e), path)); };
    LoadedHdu out;
    Result<Header> header = file.header(index);
    if (!header) return named(std::move(header).error());
    out.header = std::move(*header);
    if (is_image_hdu(out.header, index)) {
        Result<ImageGeometry> geometry = image_geometry(out.header, file.spans[index].data_len);
        if (!geometry) return named(std::move(geometry).error());
        out.image = std::move(*geometry);
        return out;
    }
    // Owned, so the file's cache never holds more than the pair being compared.
    Result<Hdu> hdu = load_hdu_owned(file, index);
    if (!hdu) return named(std::move(hdu).error());
    out.hdu = std::move(*hdu);
    return out;
}

struct DiffFile {
    const FitsFile& file;
    const std::string& path;
};

Result<HduDiff> diff_hdu_pair(const DiffFile& fa, const DiffFile& fb, std::size_t index,
                              const DiffOptions& options) {
    VEXLO_ASSIGN_OR_RETURN(const LoadedHdu a, load_for_diff(fa.file, index, fa.path));
    VEXLO_ASSIGN_OR_RETURN(const LoadedHdu b, load_for_diff(fb.file, index, fb.path));
    HduDiff entry;
    if (a.kind() != b.kind()) {
        entry.kind_mismatch.emplace(std::string(a.kind()), std::string(b.kind()));
        return entry;
    }
    entry.header_diffs = diff_headers(a.header, b.header, options);
    DataDiffList list(options);
    if (a.image) {
        const StreamedImage image_a{&fa.file, index, &a.header, *a.image, fa.path};
        const StreamedImage image_b{&fb.file, index, &b.header, *b.image, fb.path};
        VEXLO_TRY(diff_image_files(image_a, image_b, list));
    } else {
        diff_hdu_data(*a.hdu, *b.hdu, list);
    }
    entry.data_total = list.total();
    entry.data_diffs = std::move(list).take_diffs();
    return entry;
}

Result<FitsDiff> compare(const std::string& path_a, const std::string& path_b,
                         DiffOptions options) {
    VEXLO_ASSIGN_OR_RETURN(const FitsFile file_a, open_named(path_a));
    VEXLO_ASSIGN_OR_RETURN(const FitsFile file_b, open_named(path_b));
    FitsDiff out;
    out.n_a = file_a.len();
    out.n_b = file_b.len();
    const std::size_t n = std::min(file_a.len(), file_b.len());
    out.entries.reserve(n);
    for (std::size_t k = 0; k < n; ++k) {
        // One pair at a time: each is dropped before the next index is loaded.
        VEXLO_ASSIGN_OR_RETURN(HduDiff entry,
                               diff_hdu_pair({file_a, path_a}, {file_b, path_b}, k, options));
        out.entries.push_back(std::move(entry));
    }
    out.options = std::move(options);
    return out;
}

bool strings_equal_trimmed(std::string_view a, std::string_view b) {
    return trim_ws_end(a) == trim_ws_end(b);
}

// The exact value of an integer card too wide for 64 bits, in one spelling: no '+', no
// leading zeros.
std::string canonical_integer(std::string_view literal) {
    const bool negative = literal.starts_with('-');
    if (negative || literal.starts_with('+')) literal.remove_prefix(1);
    const std::size_t first = literal.find_first_not_of('0');
    const std::string_view digits =
        first == std::string_view::npos ? std::string_view("0") : literal.substr(first);
    return (negative && digits != "0" ? "-" : "") + std::string(digits);
}

}  // namespace

// Two files are compared, so a failure says which one it comes from: the path goes in front
// of the error's own text, keeping its kind where the kind carries free text.
Error error_in_file(Error e, std::string_view path) {
    const std::string prefix = std::string(path) + ": ";
    switch (e.kind) {
        case Error::Kind::MissingMandatory:
        case Error::Kind::EndCardMisplaced:
            return Error::header(prefix + e.message());
        case Error::Kind::InHdu:
            if (e.source) return Error::in_hdu(e.offset, error_in_file(*e.source, path));
            return Error::header(prefix + e.message());
        default:
            e.msg = prefix + e.msg;
            return e;
    }
}

bool FitsDiff::identical() const {
    return n_a == n_b && differing_count() == 0;
}

std::vector<std::uint64_t> FitsDiff::differing_indices() const {
    std::vector<std::uint64_t> out;
    for (std::size_t k = 0; k < entries.size(); ++k) {
        if (entries[k].differs()) out.push_back(k);
    }
    return out;
}

std::uint64_t FitsDiff::differing_count() const {
    return static_cast<std::uint64_t>(std::count_if(entries.begin(), entries.end(),
                                                    [](const HduDiff& e) { return e.differs(); }));
}

Result<FitsDiff> diff_files(const std::string& path_a, const std::string& path_b,
                            DiffOptions options) {
    try {
        return compare(path_a, path_b, std::move(options));
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::out_of_memory());
    }
}

std::string_view diff_kind_name(const Hdu& hdu) {
    switch (hdu.kind()) {
        case Hdu::Kind::Image:
            return "IMAGE";
        case Hdu::Kind::RandomGroups:
            return "RANDOM_GROUPS";
        case Hdu::Kind::AsciiTable:
            return "TABLE";
        case Hdu::Kind::BinTable:
            return "BINTABLE";
        case Hdu::Kind::CompressedImage:
            return "COMPRESSED_IMAGE";
        case Hdu::Kind::Conforming:
            return "CONFORMING";
    }
    return "";
}

std::set<std::string, std::less<>> ignore_keyword_set(const std::vector<std::string>& keywords) {
    std::set<std::string, std::less<>> out;
    for (const std::string& k : keywords)
        out.insert(ascii_upper(k));
    return out;
}

std::map<std::string, Value, std::less<>> collect_header_values(const Header& header) {
    std::map<std::string, Value, std::less<>> out;
    const Layout& layout = header.layout();
    for (std::size_t i = 0; i < layout.spans.size(); ++i) {
        const CardView view = header.view_at(i);
        std::string keyword = card_keyword(view.bytes.first(kCardLen), true);
        if (keyword.empty()) continue;
        std::optional<Value> value = view.value();
        if (!value) continue;
        out.try_emplace(std::move(keyword), std::move(*value));
    }
    return out;
}

std::vector<HeaderDiff> diff_headers(const Header& a, const Header& b, const DiffOptions& options) {
    const auto ignored = ignore_keyword_set(options.ignore_keywords);
    const auto is_ignored = [&](const std::string& k) { return ignored.contains(ascii_upper(k)); };
    const auto values_a = collect_header_values(a);
    const auto values_b = collect_header_values(b);
    std::vector<HeaderDiff> out;
    for (const auto& [keyword, value] : values_a) {
        if (is_ignored(keyword)) continue;
        const auto it = values_b.find(keyword);
        if (it == values_b.end()) {
            out.push_back({HeaderDiff::OnlyInA{keyword}});
        } else if (!header_values_equal(value, it->second, options.rtol, options.atol)) {
            out.push_back({HeaderDiff::Changed{keyword, header_value_text(value),
                                               header_value_text(it->second)}});
        }
    }
    for (const auto& [keyword, value] : values_b) {
        if (is_ignored(keyword) || values_a.contains(keyword)) continue;
        out.push_back({HeaderDiff::OnlyInB{keyword}});
    }
    return out;
}

bool header_values_equal(const Value& a, const Value& b, double rtol, double atol) {
    if (a.kind != b.kind) return false;
    switch (a.kind) {
        case Value::Kind::Logical:
            return a.logical == b.logical;
        case Value::Kind::Integer:
            return a.integer == b.integer;
        case Value::Kind::Real: {
            // An integer card too wide for 64 bits is compared by its exact value, like
            // every other integer card, and never equals a real one.
            const std::string_view int_a = a.integer_literal();
            const std::string_view int_b = b.integer_literal();
            if (!int_a.empty() || !int_b.empty()) {
                return !int_a.empty() && !int_b.empty() &&
                       canonical_integer(int_a) == canonical_integer(int_b);
            }
            return values_close(a.real, b.real, rtol, atol);
        }
        case Value::Kind::ComplexInteger:
            return a.integer == b.integer && a.integer_im == b.integer_im;
        case Value::Kind::ComplexReal:
            return values_close(a.real, b.real, rtol, atol) &&
                   values_close(a.real_im, b.real_im, rtol, atol);
        case Value::Kind::String:
            return strings_equal_trimmed(a.text, b.text);
        case Value::Kind::Undefined:
            return true;
        case Value::Kind::Unparsed:
            return a.text == b.text;
    }
    return false;
}

std::string header_value_text(const Value& v) {
    switch (v.kind) {
        case Value::Kind::Logical:
            return v.logical ? "T" : "F";
        case Value::Kind::Integer:
            return std::to_string(v.integer);
        case Value::Kind::Real:
            if (const std::string_view literal = v.integer_literal(); !literal.empty()) {
                return canonical_integer(literal);
            }
            return format_real_plain(v.real);
        case Value::Kind::ComplexInteger:
            return "(" + std::to_string(v.integer) + ", " + std::to_string(v.integer_im) + ")";
        case Value::Kind::ComplexReal:
            return "(" + format_real_plain(v.real) + ", " + format_real_plain(v.real_im) + ")";
        case Value::Kind::String:
        case Value::Kind::Unparsed:
            return debug_str(v.text);
        case Value::Kind::Undefined:
            return "<undefined>";
    }
    return "";
}

}  // namespace vexlo
