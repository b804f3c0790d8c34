// Data comparison of one HDU pair of the same kind: images pixel by pixel in physical units,
// tables cell by cell, everything else as raw bytes; every difference is counted and the
// first max_diffs are kept with their texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "diff/engine.hpp"
#include "hdu/hdu.hpp"
#include "io/file.hpp"
#include "util/bytes.hpp"

namespace vexlo {

class DataDiffList {
  public:
    explicit DataDiffList(const DiffOptions& options) : options_(&options) {}

    const DiffOptions& options() const { return *options_; }
    std::uint64_t total() const { return total_; }
    const std::vector<DataDiff>& diffs() const { return diffs_; }
    std::vector<DataDiff> take_diffs() && { return std::move(diffs_); }

    // Counts one difference; `texts()` (returning the pair of a and b texts) runs only when
    // the difference is stored, so nothing is formatted past the cap.
    template <class Texts>
    void push_with(std::optional<std::string_view> column, std::uint64_t index, Texts&& texts) {
        ++total_;
        if (diffs_.size() >= options_->max_diffs) return;
        auto [a, b] = texts();
        DataDiff d{std::move(a), std::move(b), std::nullopt, index};
        if (column) d.column = std::string(*column);
        diffs_.push_back(std::move(d));
    }

    // Whether the list holds all the differences it stores; later ones are only counted.
    bool full() const { return diffs_.size() >= options_->max_diffs; }
    // Counts `n` more differences past the stored ones (saturating).
    void count_more(std::uint64_t n) { total_ = n > UINT64_MAX - total_ ? UINT64_MAX : total_ + n; }

    void push(std::string_view column, std::uint64_t row, std::string a, std::string b);
    void push_summary(std::string a, std::string b);
    void push_undecodable(std::string_view column, std::uint64_t row);
    void push_pixel(std::uint64_t index, double a, double b);

  private:
    const DiffOptions* options_;
    std::vector<DataDiff> diffs_;
    std::uint64_t total_ = 0;
};

// Compares the data of two loaded records of the same kind.
void diff_hdu_data(const Hdu& a, const Hdu& b, DataDiffList& list);

void diff_image_data(const ImageHdu& a, const ImageHdu& b, DataDiffList& list);

// A plain image of a scanned file, compared without holding its pixels: they are read in
// blocks straight from the data section.
struct StreamedImage {
    const FitsFile* file = nullptr;
    std::size_t index = 0;
    const Header* header = nullptr;
    ImageGeometry geometry;
    std::string_view path;  // names the file in read errors
};
// The same comparison as diff_image_data; a failed read is returned, naming its file.
Result<void> diff_image_files(const StreamedImage& a, const StreamedImage& b, DataDiffList& list);
void diff_ascii_table_data(const AsciiTableHdu& a, const AsciiTableHdu& b, DataDiffList& list);
void diff_bintable_data(const BinTableHdu& a, const BinTableHdu& b, DataDiffList& list);
void diff_raw_bytes(ByteSpan a, ByteSpan b, DataDiffList& list);

bool ascii_values_equal(const std::optional<AsciiValue>& a, const std::optional<AsciiValue>& b,
                        double rtol, double atol);
bool bin_values_equal(const BinValue& a, const BinValue& b, double rtol, double atol);

std::string ascii_cell_text(const std::optional<AsciiValue>& v);
std::string bintable_cell_text(const BinValue& v);

}  // namespace vexlo
