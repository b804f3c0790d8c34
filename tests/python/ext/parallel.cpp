// The part count of parallel passes, forced so that the tests split rows, chunks and batches
// on every machine, a one-core one included; and vexlo's count of the bytes it read from
// files, so that a test can tell what a step reads.
#include <cstddef>
#include <cstdint>
#include <string>

#include "hooks.hpp"
#include "python/module.hpp"
#include "util/parallel.hpp"

namespace vexlo::py {

namespace {

// vexlo's own function shared under `key` (see kPartsOverrideKey); `what` names it when vexlo
// shares none.
template <class Fn>
Fn* shared_function(const char* key, const char* what) {
    PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get());
    PyObject* capsule = shared != nullptr ? PyDict_GetItemString(shared, key) : nullptr;
    void* fn = capsule != nullptr ? PyCapsule_GetPointer(capsule, key) : nullptr;
    if (fn == nullptr) {
        PyErr_Clear();
        throw nb::type_error((std::string("vexlo shares no ") + what).c_str());
    }
    return *static_cast<Fn**>(fn);
}

}  // namespace

void add_parallel_hooks(nb::module_& m) {
    m.def(
        "force_parts",
        [](std::size_t parts) {
            // This extension's own copy of the core, then vexlo's through the capsule it shares.
            force_parts_for_tests(parts);
            shared_function<void(std::size_t)>(kPartsOverrideKey, "part-count override")(parts);
        },
        nb::arg("parts"),
        "Split every later parallel pass into `parts` parts, or as the machine would for 0.");
    m.def(
        "file_bytes_read",
        []() -> std::uint64_t {
            return shared_function<std::uint64_t()>(kFileBytesReadKey, "count of the bytes read")();
        },
        "The bytes vexlo has read from files so far (its own count, not this module's).");
}

}  // namespace vexlo::py
