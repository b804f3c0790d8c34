// Comparison of two FITS files HDU by HDU: the options, the result record, the header
// comparison and the tolerance rule every floating-point comparison of the subsystem uses.
#pragma once

#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "error.hpp"
#include "header/header.hpp"
#include "header/value.hpp"

namespace vexlo {

struct CompressedImageHdu;
struct Hdu;
struct ImageHdu;

struct DiffOptions {
    // Left out of the header comparison, matched without regard to ASCII letter case.
    std::vector<std::string> ignore_keywords = {"CHECKSUM", "DATASUM", "DATE"};
    double rtol = 0.0;
    double atol = 0.0;
    // Data differences stored per HDU; counting goes on past it.
    std::uint64_t max_diffs = 10;
    // Decodes tile-compressed images so their pixels are compared. The decoders sit beside
    // this subsystem, not below it, so the caller hands them in; without them such images
    // are compared as the tables that carry them.
    Result<ImageHdu> (*decompress)(const CompressedImageHdu&) = nullptr;
};

struct HeaderDiff {
    struct OnlyInA {
        std::string keyword;
    };
    struct OnlyInB {
        std::string keyword;
    };
    struct Changed {
        std::string keyword;
        std::string a;  // value texts, as the report prints them
        std::string b;
    };
    std::variant<OnlyInA, OnlyInB, Changed> value;
};

// One data difference: a pixel (no column, the pixel number), a table cell (the column name
// of file a, the row) or a summary (no column, index 0).
struct DataDiff {
    std::string a;
    std::string b;
    std::optional<std::string> column;
    std::uint64_t index = 0;
};

struct HduDiff {
    std::vector<HeaderDiff> header_diffs;  // never capped
    std::vector<DataDiff> data_diffs;      // the first max_diffs found
    std::optional<std::pair<std::string, std::string>> kind_mismatch;
    std::uint64_t data_total = 0;  // every data difference found, stored or not

    // A counted data difference makes the HDU differ even when none was stored (max_diffs
    // 0): otherwise a comparison that found differing pixels would call the files identical.
    bool differs() const {
        return !header_diffs.empty() || data_total != 0 || kind_mismatch.has_value();
    }
};

struct FitsDiff {
    std::vector<HduDiff> entries;  // entry k describes HDU k of both files
    DiffOptions options;
    std::uint64_t n_a = 0;
    std::uint64_t n_b = 0;

    bool identical() const;
    // Positions of the differing entries, ascending.
    std::vector<std::uint64_t> differing_indices() const;
    std::uint64_t differing_count() const;

    // Appends the fixed-format text report to `sink`.
    void write_report(std::string& sink) const;
};

// Opens both files (lenient parsing) and compares every index both have. Failures name the
// file they come from; nothing partial is returned.
Result<FitsDiff> diff_files(const std::string& path_a, const std::string& path_b,
                            DiffOptions options);

// `error` with the path of the file it comes from in front of its text.
Error error_in_file(Error error, std::string_view path);

// The keywords with ASCII letters upper-cased.
std::set<std::string, std::less<>> ignore_keyword_set(const std::vector<std::string>& keywords);

// keyword -> value of every value card, the first card of a keyword winning.
std::map<std::string, Value, std::less<>> collect_header_values(const Header& header);

// The differences of two headers: Changed and OnlyInA in a's keyword order, then OnlyInB.
std::vector<HeaderDiff> diff_headers(const Header& a, const Header& b, const DiffOptions& options);

bool header_values_equal(const Value& a, const Value& b, double rtol, double atol);
std::string header_value_text(const Value& v);

// a and b equal under the tolerances; b is the value from the second file.
inline bool values_close(double a, double b, double rtol, double atol) {
    if (a == b) return true;
    if (std::isnan(a) && std::isnan(b)) return true;
    if (rtol == 0.0 && atol == 0.0) return false;
    const double d = std::fabs(a - b);
    if (!std::isfinite(d)) return false;
    const double allowed = std::fabs(b) * rtol;
    return d <= allowed + atol;
}

// "IMAGE", "RANDOM_GROUPS", "TABLE", "BINTABLE", "COMPRESSED_IMAGE", "CONFORMING".
std::string_view diff_kind_name(const Hdu& hdu);

}  // namespace vexlo
