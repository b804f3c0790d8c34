// The validation checks, run in a fixed order over a read-only header; each appends its
// findings and none fails.
#include "header/validate.hpp"

#include <string_view>

#include "header/card.hpp"
#include "header/format.hpp"
#include "header/time.hpp"
#include "util/text.hpp"
#include "util/try.hpp"

namespace vexlo {

namespace {

using Issues = std::vector<ValidationIssue>;

constexpr std::string_view kOrderCitation = " (FITS Standard Sec.4.4.1.1)";

bool present(const Header& h, std::string_view key) {
    return h.get_value(key).has_value();
}

void add(Issues& out, Severity s, std::string keyword, std::string message,
         std::optional<HeaderFix> fix = std::nullopt) {
    out.push_back({s, std::move(keyword), std::move(message), std::move(fix)});
}

ByteSpan first_image(const Header& h, const Span& span) {
    return ByteSpan(h.bytes()).subspan(span.start, kCardLen);
}

void check_mandatory_order(const Header& h, Issues& out) {
    static constexpr std::string_view kPosition[] = {"first", "second", "third"};
    std::size_t seen = 0;
    for (const Span& span : h.layout().spans) {
        if (seen == 3) break;
        const ByteSpan image = first_image(h, span);
        const CardKind kind = card_kind(image, true);
        if (kind == CardKind::Commentary || kind == CardKind::Continue) continue;
        const std::string k = card_keyword(image, true);
        const std::size_t i = seen++;
        if (i == 0 && (k == "SIMPLE" || k == "XTENSION")) continue;
        if (i == 1 && k == "BITPIX") continue;
        if (i == 2 && k == "NAXIS") continue;
        const char* wanted = i == 0 ? "SIMPLE or XTENSION" : i == 1 ? "BITPIX" : "NAXIS";
        std::string keyword = i == 0 ? k : wanted;
        add(out, Severity::Error, std::move(keyword),
            std::string(kPosition[i]) + " value keyword must be " + wanted + ", found '" + k + "'" +
                std::string(kOrderCitation));
    }
}

void check_naxisn_present(const Header& h, Issues& out) {
    auto n = h.naxis();
    if (!n) return;
    for (std::uint64_t i = 1; i <= *n; ++i) {
        const std::string key = indexed_keyword("NAXIS", i);
        if (present(h, key)) continue;
        add(out, Severity::Error, key, key + " is absent but NAXIS=" + std::to_string(*n));
    }
}

void check_blank_on_float(const Header& h, Issues& out) {
    if (!present(h, "BLANK")) return;
    auto bitpix = h.bitpix();
    if (!bitpix || *bitpix > 0) return;
    add(out, Severity::Warning, "BLANK",
        "BLANK is undefined for floating-point images (BITPIX=" + std::to_string(*bitpix) +
            "); use IEEE NaN for undefined pixels (FITS Standard Sec.4.4.2.4)",
        HeaderFix{HeaderFix::Kind::Delete, "BLANK", {}});
}

void check_count_keyword(const Header& h, Issues& out, const std::string& key,
                         std::int64_t expected, const std::string& xtension) {
    auto v = h.get_i64(key);
    const std::string tail = " for " + xtension + " extensions";
    if (!v) {
        add(out, Severity::Error, key,
            key + " is absent; must be " + std::to_string(expected) + tail +
                " (FITS Standard Sec.7.1)");
    } else if (*v != expected) {
        add(out, Severity::Error, key,
            key + " must be " + std::to_string(expected) + tail + ", found " + std::to_string(*v) +
                " (FITS Standard Sec.7.1)");
    }
}

void check_extension_keywords(const Header& h, Issues& out) {
    auto xtension = h.get_str("XTENSION");
    if (!xtension) return;
    const std::string x(trim_ws(*xtension));
    if (x != "BINTABLE" && x != "IMAGE" && x != "TABLE") return;
    check_count_keyword(h, out, "GCOUNT", 1, x);
    if (x == "IMAGE") check_count_keyword(h, out, "PCOUNT", 0, x);
}

void check_deprecated_keyword(const Header& h, Issues& out, const std::string& old_key,
                              const std::string& new_key, std::string_view citation) {
    if (!present(h, old_key)) return;
    if (present(h, new_key)) {
        add(out, Severity::Warning, old_key,
            "both " + old_key + " and " + new_key + " are present; " + new_key +
                " takes precedence  -  remove " + old_key,
            HeaderFix{HeaderFix::Kind::Delete, old_key, {}});
    } else {
        add(out, Severity::Warning, old_key,
            old_key + " is deprecated; use " + new_key + " (" + std::string(citation) + ")",
            HeaderFix{HeaderFix::Kind::Rename, old_key, new_key});
    }
}

std::string two_digits(unsigned v) {
    return std::string{static_cast<char>('0' + v / 10 % 10), static_cast<char>('0' + v % 10)};
}

// The old DD/MM/YY form only ever meant 19YY; a day or month no calendar has gets no fix.
void check_date_obs_format(const Header& h, Issues& out) {
    auto text = h.get_str("DATE-OBS");
    if (!text || text->size() != 8) return;
    const std::string& t = *text;
    for (std::size_t i : {0, 1, 3, 4, 6, 7}) {
        if (!is_ascii_digit(t[i])) return;
    }
    if (t[2] != '/' || t[5] != '/') return;
    auto number = [&](std::size_t i) {
        return unsigned(t[i] - '0') * 10 + unsigned(t[i + 1] - '0');
    };
    const unsigned day = number(0), month = number(3), year = 1900 + number(6);
    std::optional<HeaderFix> fix;
    if (day >= 1 && day <= days_in_month(year, month)) {
        fix = HeaderFix{HeaderFix::Kind::SetString, "DATE-OBS",
                        std::to_string(year) + "-" + two_digits(month) + "-" + two_digits(day)};
    }
    add(out, Severity::Warning, "DATE-OBS",
        "DATE-OBS '" + t +
            "' uses the deprecated DD/MM/YY format; ISO 8601 YYYY-MM-DD is required (FITS "
            "Standard Sec.4.4.2.1)",
        std::move(fix));
}

void check_exptime(const Header& h, Issues& out) {
    auto text = h.get_str("EXPTIME");
    if (!text) return;
    add(out, Severity::Error, "EXPTIME",
        "EXPTIME has string value '" + *text + "'; expected a numeric value (seconds)");
}

void check_rotation_keywords(const Header& h, Issues& out) {
    for (const Span& span : h.layout().spans) {
        const std::string k = card_keyword(first_image(h, span), true);
        if (k.size() <= 5 || !k.starts_with("CROTA")) continue;
        bool digits = true;
        for (std::size_t i = 5; i < k.size(); ++i)
            digits = digits && is_ascii_digit(k[i]);
        if (!digits) continue;
        add(out, Severity::Warning, k,
            k + " is a deprecated rotation keyword; migrate to the PCi_j matrix (WCS Paper I, "
                "Sec.6.1)");
    }
}

void check_recommended_keywords(const Header& h, Issues& out) {
    auto n = h.naxis();
    if (!n || *n == 0) return;
    for (const char* key : {"OBJECT", "TELESCOP", "INSTRUME", "DATE-OBS", "EXPTIME"}) {
        if (!present(h, key)) {
            add(out, Severity::Warning, key,
                std::string(key) + " is absent; recommended for image HDUs");
        }
    }
}

// The checks find a keyword also under its underscore spelling (DATE_OBS for DATE-OBS): the
// card found takes the new value under the standard keyword in its own place, keeping its
// comment, so that the fix leaves one card and not two.
Result<void> set_found_card(Header& h, std::string_view keyword, const Value& value) {
    const std::optional<CardView> found = h.get(keyword);
    const std::string spelling = found ? found->keyword() : std::string();
    const std::optional<std::size_t> span = h.layout().first_value(spelling);
    if (!found || !span || spelling == h.stored_keyword(keyword)) {
        VEXLO_TRY(h.set(keyword, value, std::nullopt));
        return {};
    }
    VEXLO_ASSIGN_OR_RETURN(Bytes images, format_value_card(keyword, value, found->comment()));
    h.replace_raw(*span, images);
    return {};
}

}  // namespace

void HeaderFix::apply(Header& header) const {
    switch (kind) {
        case Kind::Rename:
            (void)header.rename_keyword(keyword, value);
            break;
        case Kind::Delete:
            header.remove(keyword);
            break;
        case Kind::SetString:
            (void)set_found_card(header, keyword, Value::make_string(value));
            break;
    }
}

ValidationReport Header::validate(bool fix) const {
    ValidationReport report{{}, *this};
    Issues& out = report.issues;
    check_mandatory_order(*this, out);
    check_naxisn_present(*this, out);
    check_blank_on_float(*this, out);
    check_extension_keywords(*this, out);
    check_deprecated_keyword(*this, out, "EPOCH", "EQUINOX", "WCS Paper I, Sec.2.4");
    check_deprecated_keyword(*this, out, "RADECSYS", "RADESYS", "WCS Paper I, Sec.3.1");
    check_date_obs_format(*this, out);
    check_exptime(*this, out);
    check_rotation_keywords(*this, out);
    check_recommended_keywords(*this, out);
    if (fix) {
        for (const ValidationIssue& issue : out) {
            if (issue.fix) issue.fix->apply(report.header);
        }
    }
    return report;
}

}  // namespace vexlo
