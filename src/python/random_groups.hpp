// vexlo.RandomGroups: the legacy random-groups primary HDU. It keeps its own copy of the data
// section and decodes one group at a time; the groups never change and nothing is scaled.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>

#include "data/pixel.hpp"
#include "hdu/owned.hpp"
#include "hdu/random_groups.hpp"
#include "python/header.hpp"
#include "util/bytes.hpp"

namespace vexlo::py {

namespace nb = nanobind;

struct PyRandomGroups {
    Bytes data;  // GCOUNT x (PCOUNT + data_per_group) big-endian values, unpadded
    PyHeader header;
    std::uint64_t n_groups = 0;
    std::uint64_t n_params = 0;
    std::uint64_t data_per_group = 0;
    Bitpix bitpix = Bitpix::U8;

    // What a rewrite writes: the current header (copied under its lock) and a copy of the data.
    OwnedHdu to_owned_hdu() const;
};

// A new vexlo.RandomGroups over a loaded HDU (its data bytes copied) and its header handle.
nb::object make_random_groups_object(const RandomGroupsHdu& hdu, PyHeader header);

// The state of a vexlo.RandomGroups object, or nullptr for any other object.
const PyRandomGroups* random_groups_state(nb::handle obj);

}  // namespace vexlo::py
