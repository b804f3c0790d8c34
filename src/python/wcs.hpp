// The Python face of a world coordinate description: vexlo.Wcs, and the pieces that
// FitsFile.wcs and ImageHdu.wcs share with its constructor.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>

#include "python/args.hpp"
#include "python/header.hpp"
#include "wcs/wcs.hpp"

namespace vexlo::py {

namespace nb = nanobind;

// The state of a vexlo.Wcs: one description, never changed after it is made.
struct PyWcs {
    Wcs wcs;
};

// The `origin` parameter of the transforms and of fit_wcs, 0 when omitted: an integer from 0
// to 255 (OverflowError "out of range integral type conversion attempted" otherwise).
std::int64_t origin_argument(nb::handle obj);
inline constexpr auto kOriginArg = optional<std::int64_t>("origin", 0, origin_argument);

// The pixel shift of an `origin` argument: 0.0 for 0-based pixels, -1.0 for 1-based FITS
// pixels; any other value raises ValueError.
double origin_shift(std::int64_t origin);

// Coordinates as a float64 NumPy array: a float64 array itself, anything else through
// numpy.asarray (whose errors propagate).
nb::object float64_array(nb::handle obj);

// The `alt` parameter of every call that picks a description, ' ' when omitted: a str of
// exactly one character. A non-str is the conversion TypeError naming "alt"; another length
// ValueError "expected a string of length 1".
char32_t alt_argument(nb::handle obj);
inline constexpr auto kAltArg = optional<char32_t>("alt", U' ', alt_argument);

// The description of the header for `alt`, parsed under the header's lock; a parse error
// raises vexlo.FitsError; none when the header has no description for `alt`.
std::optional<Wcs> parse_header_wcs(const PyHeader& header, char32_t alt);

// The description of an HDU that came from a file or not: -TAB axes need the file their lookup
// tables live in. `no_file_text` is the error raised when `has_file` is false and they do.
// The lookup tables are not loaded yet, so such a description keeps refusing transforms.
// The Python object of an HDU's description, its -TAB axes loaded from `file` (null when the
// HDU has no file to read them from).
nb::object hdu_wcs_object(std::optional<Wcs> wcs, const FitsFile* file, const char* no_file_text);

nb::object make_wcs_object(Wcs&& wcs);

}  // namespace vexlo::py
