// The fixed-format text report of a comparison, rebuilt from the record on every call.
#include <string>
#include <variant>

#include "diff/engine.hpp"

namespace vexlo {

namespace {

void line(std::string& out, std::string_view text) {
    out += text;
    out += '\n';
}

void write_header_diff(std::string& out, const HeaderDiff& d) {
    if (const auto* only_a = std::get_if<HeaderDiff::OnlyInA>(&d.value)) {
        line(out, "  - " + only_a->keyword + ": only in a");
    } else if (const auto* only_b = std::get_if<HeaderDiff::OnlyInB>(&d.value)) {
        line(out, "  - " + only_b->keyword + ": only in b");
    } else {
        const auto& changed = std::get<HeaderDiff::Changed>(d.value);
        line(out, "  - " + changed.keyword + ": a=" + changed.a + " b=" + changed.b);
    }
}

void write_data_diffs(std::string& out, const HduDiff& entry) {
    // A difference counted but not stored (max_diffs 0) still shows the heading and the
    // overflow line, so the report never hides that the data differ.
    if (entry.data_total == 0) return;
    line(out, "  data differences (" + std::to_string(entry.data_total) + " total):");
    for (const DataDiff& d : entry.data_diffs) {
        const std::string at = d.column ? *d.column + "[" + std::to_string(d.index) + "]"
                                        : "[" + std::to_string(d.index) + "]";
        line(out, "    " + at + ": a=" + d.a + " b=" + d.b);
    }
    const std::uint64_t stored = entry.data_diffs.size();
    if (entry.data_total > stored) {
        line(out, "    ... " + std::to_string(entry.data_total - stored) + " more not shown");
    }
}

}  // namespace

void FitsDiff::write_report(std::string& out) const {
    line(out, "vexlo diff report");
    line(out, "=================");
    if (n_a == n_b) {
        line(out, "Both files have " + std::to_string(n_a) + " HDU(s).");
        if (differing_count() == 0) {
            line(out, "Files are identical.");
            return;
        }
    } else {
        line(out,
             "HDU counts differ: a has " + std::to_string(n_a) + ", b has " + std::to_string(n_b));
    }
    for (std::size_t k = 0; k < entries.size(); ++k) {
        const HduDiff& entry = entries[k];
        if (!entry.differs()) continue;
        line(out, "");
        line(out, "HDU " + std::to_string(k) + ":");
        if (entry.kind_mismatch) {
            line(out, "  kind differs: " + entry.kind_mismatch->first + " vs " +
                          entry.kind_mismatch->second);
            continue;
        }
        for (const HeaderDiff& d : entry.header_diffs)
            write_header_diff(out, d);
        write_data_diffs(out, entry);
    }
}

}  // namespace vexlo
