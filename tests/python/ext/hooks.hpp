// vexlo_testing: the test suite's own extension. It reaches into the bindings where the public
// interface cannot (the argument parser and error helpers, header and image handles with the
// flags only the file layer hands out) and is never installed with vexlo.
#pragma once

#include <nanobind/nanobind.h>

namespace vexlo::py {

namespace nb = nanobind;

// Probe, fixed, ranged, nothing, convert, take_probe, fail, register_attr.
void add_binding_probes(nb::module_& module);

// header_handle, header_share, header_modified, image_owned, image_from_bytes, image_track,
// image_flags, session_guards_lent.
void add_handle_hooks(nb::module_& module);

// compress_tiles: the tile writer with every option (algorithm, tiles, quantisation).
void add_compression_hooks(nb::module_& module);

// force_parts: the part count of every later parallel pass, in vexlo and here;
// file_bytes_read: the bytes vexlo has read from files so far.
void add_parallel_hooks(nb::module_& module);

}  // namespace vexlo::py
