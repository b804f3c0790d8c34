#include "python/random_groups.hpp"

#include <string>
#include <utility>

#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/method.hpp"
#include "python/module.hpp"
#include "python/pixels.hpp"

namespace vexlo::py {

OwnedHdu PyRandomGroups::to_owned_hdu() const {
    return OwnedHdu{header.snapshot(), data};
}

namespace {

// One frozen one-dimensional array of `count` values from big-endian bytes.
nb::object frozen_values(ByteSpan bytes, Bitpix bitpix, std::uint64_t count) {
    const std::uint64_t shape[] = {count};
    nb::object array = array_from_be_bytes(bytes, bitpix, shape);
    freeze_image_array(array);
    return array;
}

constexpr auto kIndex = required<std::uint64_t>("i");
constexpr auto kGroupSig = signature("RandomGroups.group()", kIndex);
nb::object group(PyRandomGroups& self, const Args& p) {
    const std::uint64_t i = p.get(kIndex);
    if (i >= self.n_groups) {
        raise(PyExc_IndexError, "group " + std::to_string(i) + " out of range (n_groups = " +
                                    std::to_string(self.n_groups) + ")");
    }
    // The record's geometry was checked against the data length when it was loaded.
    const std::uint64_t e = bytes_per_pixel(self.bitpix);
    const std::uint64_t param_bytes = self.n_params * e;
    const std::uint64_t group_bytes = (self.n_params + self.data_per_group) * e;
    const ByteSpan all(self.data);
    const ByteSpan one = all.subspan(static_cast<std::size_t>(i * group_bytes),
                                     static_cast<std::size_t>(group_bytes));
    nb::object params =
        frozen_values(one.first(static_cast<std::size_t>(param_bytes)), self.bitpix, self.n_params);
    nb::object values = frozen_values(one.subspan(static_cast<std::size_t>(param_bytes)),
                                      self.bitpix, self.data_per_group);
    return nb::make_tuple(params, values);
}
constexpr auto kGroupDoc = method_doc<kGroupSig>(
    "Decode one group as ``(parameters, data)`` numpy arrays.\n\n"
    "Both arrays hold the stored values (no PSCALn/PZEROn, BSCALE/BZERO or BLANK) and are "
    "read-only.");
constexpr MethodDef<PyRandomGroups> kGroup{kGroupDoc, group};

Py_ssize_t groups_len_slot(PyObject* self) {
    Py_ssize_t n = -1;
    guard_c([&] {
        const std::uint64_t groups = self_state<PyRandomGroups>(self).n_groups;
        if (groups > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
            raise(PyExc_OverflowError, "cannot fit 'int' into an index-sized integer");
        }
        n = static_cast<Py_ssize_t>(groups);
    });
    return n;
}

PyObject* groups_repr(PyObject* self) {
    PyObject* result = nullptr;
    guard_c([&] {
        const PyRandomGroups& g = self_state<PyRandomGroups>(self);
        const std::string text = "RandomGroups(n_groups=" + std::to_string(g.n_groups) +
                                 ", n_params=" + std::to_string(g.n_params) +
                                 ", data_per_group=" + std::to_string(g.data_per_group) +
                                 ", bitpix=" + std::to_string(bitpix_value(g.bitpix)) + ")";
        result = nb::str(text.data(), text.size()).release().ptr();
    });
    return result;
}

PyType_Slot kGroupsSlots[] = {
    {Py_mp_length, reinterpret_cast<void*>(groups_len_slot)},
    {Py_tp_repr, reinterpret_cast<void*>(groups_repr)},
    {0, nullptr},
};

nb::object make_random_groups_class(nb::module_& m) {
    return bound_class<PyRandomGroups>([&] {
        auto cls = nb::class_<PyRandomGroups>(
            m, "RandomGroups",
            "Random-groups primary HDU (legacy format; see Standard Sec.6).\n\n"
            "GCOUNT groups, each PCOUNT parameters followed by NAXIS2 x ... x NAXISn values.",
            nb::is_final(), nb::type_slots(kGroupsSlots));
        cls.def_prop_ro(
            "header", [](PyRandomGroups& self) { return make_header_object(self.header); },
            "HDU header.");
        cls.def_prop_ro(
            "bitpix", [](PyRandomGroups& self) { return bitpix_value(self.bitpix); },
            "`BITPIX` value.");
        cls.def_prop_ro(
            "n_groups", [](PyRandomGroups& self) { return self.n_groups; },
            "Number of groups (`GCOUNT`).");
        cls.def_prop_ro(
            "n_params", [](PyRandomGroups& self) { return self.n_params; },
            "Number of parameters per group (`PCOUNT`).");
        cls.def_prop_ro(
            "data_per_group", [](PyRandomGroups& self) { return self.data_per_group; },
            "Number of data values per group (`prod(NAXIS2..NAXISn)`).");
        add_method<PyRandomGroups, kGroup>(cls);
        return cls;
    });
}

const Registration kRandomGroupsRegistration{"RandomGroups", make_random_groups_class};

}  // namespace

nb::object make_random_groups_object(const RandomGroupsHdu& hdu, PyHeader header) {
    PyRandomGroups state;
    const ByteSpan bytes = hdu.data.span();
    state.data.assign(bytes.begin(), bytes.end());
    state.header = std::move(header);
    state.n_groups = hdu.gcount;
    state.n_params = hdu.pcount;
    state.data_per_group = hdu.data_per_group;
    state.bitpix = hdu.bitpix;
    return nb::cast(std::move(state), nb::rv_policy::move);
}

const PyRandomGroups* random_groups_state(nb::handle obj) {
    if (!obj.is_valid() || !nb::isinstance<PyRandomGroups>(obj)) return nullptr;
    return nb::inst_ptr<PyRandomGroups>(obj);
}

}  // namespace vexlo::py
