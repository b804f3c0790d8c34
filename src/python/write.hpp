// write(): a list of builder objects streamed into one new FITS file.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace vexlo::py {

namespace nb = nanobind;

// The file-system bytes of a path given as a str or an os.PathLike yielding a str. The
// protocol's TypeError for other objects (a bytes path gives
// "'bytes' object is not an instance of 'str'"); ValueError "embedded null byte".
std::string path_argument(nb::handle obj);

}  // namespace vexlo::py
