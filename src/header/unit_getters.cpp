// Keyword values read in the unit of their comment annotation and converted with the unit
// subsystem. Every failure (no card, no number, no unit, no conversion) gives none.
#include "header/unit_getters.hpp"

#include "header/header.hpp"
#include "units/unit.hpp"
#include "util/text.hpp"

namespace vexlo {

namespace {

std::optional<double> convert_value(double v, std::string_view from, std::string_view to) {
    auto source = parse_unit_lenient(from);
    if (!source) return std::nullopt;
    auto target = parse_unit_lenient(to);
    if (!target) return std::nullopt;
    auto c = source->converter_to(*target);
    if (!c) return std::nullopt;
    return v * c->scale + c->shift;
}

}  // namespace

std::optional<std::string_view> unit_annotation(std::string_view comment) {
    const std::size_t open = comment.find('[');
    if (open == std::string_view::npos) return std::nullopt;
    const std::size_t close = comment.find(']', open + 1);
    if (close == std::string_view::npos) return std::nullopt;
    const std::string_view unit = trim_ws(comment.substr(open + 1, close - open - 1));
    if (unit.empty()) return std::nullopt;
    return unit;
}

std::optional<std::string> Header::unit_for(std::string_view key) const {
    auto view = get(ascii_upper(trim_ws(key)));
    if (!view) return std::nullopt;
    auto comment = view->comment();
    if (!comment) return std::nullopt;
    auto unit = unit_annotation(*comment);
    if (!unit) return std::nullopt;
    return std::string(*unit);
}

std::optional<double> Header::value_in_si(std::string_view key) const {
    // The value is looked up exactly as asked; only the annotation lookup is case-folded.
    auto v = get_f64(key);
    if (!v) return std::nullopt;
    auto unit_text = unit_for(key);
    if (!unit_text) return std::nullopt;
    auto unit = parse_unit_lenient(*unit_text);
    if (!unit) return std::nullopt;
    auto c = unit->converter_to(Unit::canonical(unit->dimension));
    if (!c) return std::nullopt;  // every level unit stops here
    return *v * c->scale + c->shift;
}

std::optional<double> Header::value_in_unit(std::string_view key, std::string_view unit) const {
    auto v = get_f64(key);
    if (!v) return std::nullopt;
    // Without an annotation the value is taken to be in the wanted unit already.
    auto source = unit_for(key);
    return convert_value(*v, source ? std::string_view(*source) : unit, unit);
}

}  // namespace vexlo
