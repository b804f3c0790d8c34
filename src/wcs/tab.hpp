// Lookup-table axes: a -TAB axis takes its world value from a coordinate array stored in a
// binary table of the same file, located through an optional index vector. Several axes may
// share one array and are then transformed together.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "header/header.hpp"

namespace vexlo {

struct TabAxisSpec {
    std::size_t axis = 0;  // 0-based WCS axis
    std::string extname;
    std::string coord_column;
    std::optional<std::string> index_column;
    std::int64_t extver = 1;
    std::int64_t extlevel = 1;
    std::uint32_t coord_axis = 1;  // 1-based axis of the coordinate array
};

struct TabGroup {
    std::vector<std::size_t> wcs_axes;  // entry m - 1 is the WCS axis of array axis m
    std::vector<std::uint64_t> sizes;   // K1 ... KM
    std::vector<std::optional<std::vector<double>>> index_vectors;  // monotonic, checked once
    std::vector<double> coords;  // M * K1 * ... * KM, component fastest
};

Result<TabAxisSpec> parse_tab_axis(const Header& header, std::string_view suffix, std::size_t axis);

// Why a lookup failed, with the values its message quotes.
struct TabFault {
    std::uint8_t code = 0;
    std::size_t axis = 0;
    double a = 0.0;
    double b = 0.0;
    double c = 0.0;
};
std::string tab_message(const TabFault& fault);

// One group's transforms over M values in group order (psi in, world out, and back). `work`
// holds scratch of at least tab_work_size(M) doubles.
std::size_t tab_work_size(std::size_t m);
bool tab_forward(const TabGroup& g, std::span<double> values, std::span<double> work,
                 TabFault& fault);
bool tab_inverse(const TabGroup& g, std::span<double> values, std::span<double> work,
                 TabFault& fault);

// A fractional position of `t` in a monotonic list; the scalar searches of the lookup.
Result<double> tab_search(std::span<const double> v, double t);

}  // namespace vexlo
