#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diff/engine.hpp"

namespace vexlo {
namespace {

std::string report(const FitsDiff& d) {
    std::string out;
    d.write_report(out);
    return out;
}

FitsDiff clean(std::uint64_t n_a, std::uint64_t n_b) {
    FitsDiff d;
    d.n_a = n_a;
    d.n_b = n_b;
    d.entries.resize(std::min(n_a, n_b));
    return d;
}

DataDiff pixel(std::uint64_t i) {
    return {std::to_string(i), std::to_string(i + 1), std::nullopt, i};
}

TEST(Report, IdenticalFiles) {
    EXPECT_EQ(report(clean(2, 2)),
              "vexlo diff report\n"
              "=================\n"
              "Both files have 2 HDU(s).\n"
              "Files are identical.\n");
}

TEST(Report, CountsDifferWithCleanEntries) {
    EXPECT_EQ(report(clean(3, 2)),
              "vexlo diff report\n"
              "=================\n"
              "HDU counts differ: a has 3, b has 2\n");
}

TEST(Report, EveryLineForm) {
    FitsDiff d = clean(3, 3);
    d.entries[0].kind_mismatch.emplace("IMAGE", "BINTABLE");
    d.entries[0].header_diffs.push_back({HeaderDiff::OnlyInA{"HIDDEN"}});
    HduDiff& e = d.entries[2];
    e.header_diffs = {{HeaderDiff::Changed{"EXPTIME", "10", "12"}},
                      {HeaderDiff::Changed{"OBJECT", "\"M31\"", "\"M33\""}},
                      {HeaderDiff::OnlyInA{"ONLYA"}},
                      {HeaderDiff::OnlyInB{"ONLYB"}}};
    e.data_diffs = {{"5 rows", "6 rows", std::nullopt, 0}, {"1.5", "2", "FLUX", 12}};
    e.data_total = 2;
    EXPECT_EQ(report(d),
              "vexlo diff report\n"
              "=================\n"
              "Both files have 3 HDU(s).\n"
              "\n"
              "HDU 0:\n"
              "  kind differs: IMAGE vs BINTABLE\n"
              "\n"
              "HDU 2:\n"
              "  - EXPTIME: a=10 b=12\n"
              "  - OBJECT: a=\"M31\" b=\"M33\"\n"
              "  - ONLYA: only in a\n"
              "  - ONLYB: only in b\n"
              "  data differences (2 total):\n"
              "    [0]: a=5 rows b=6 rows\n"
              "    FLUX[12]: a=1.5 b=2\n");
}

TEST(Report, CappedDataListsShowWhatIsLeftOut) {
    FitsDiff d = clean(2, 1);
    for (std::uint64_t i = 0; i < 10; ++i)
        d.entries[0].data_diffs.push_back(pixel(i));
    d.entries[0].data_total = 25;
    std::string want =
        "vexlo diff report\n"
        "=================\n"
        "HDU counts differ: a has 2, b has 1\n"
        "\n"
        "HDU 0:\n"
        "  data differences (25 total):\n";
    for (std::uint64_t i = 0; i < 10; ++i) {
        want += "    [" + std::to_string(i) + "]: a=" + std::to_string(i) +
                " b=" + std::to_string(i + 1) + "\n";
    }
    want += "    ... 15 more not shown\n";
    EXPECT_EQ(report(d), want);
}

TEST(Report, DataDifferencesCountedButNotStoredAreNotHidden) {
    FitsDiff d = clean(1, 1);
    d.options.max_diffs = 0;
    d.entries[0].data_total = 7;
    EXPECT_FALSE(d.identical());
    EXPECT_EQ(report(d),
              "vexlo diff report\n"
              "=================\n"
              "Both files have 1 HDU(s).\n"
              "\n"
              "HDU 0:\n"
              "  data differences (7 total):\n"
              "    ... 7 more not shown\n");
}

}  // namespace
}  // namespace vexlo
