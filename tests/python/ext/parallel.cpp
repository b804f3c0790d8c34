// The part count of parallel passes, forced so that the tests split rows, chunks and batches
// on every machine, a one-core one included; and vexlo's count of the bytes it read from
// files, so that a test can tell what a step reads.
#include <cstddef>
#include <cstdint>

#include "hooks.hpp"
#include "python/module.hpp"
#include "util/parallel.hpp"

namespace vexlo::py {

void add_parallel_hooks(nb::module_& m) {
    m.def(
        "force_parts",
        [](std::size_t parts) {
            // This extension's own copy of the core, then vexlo's through the capsule it shares.
            force_parts_for_tests(parts);
            PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get());
            PyObject* capsule =
                shared != nullptr ? PyDict_GetItemString(shared, kPartsOverrideKey) : nullptr;
            void* force =
                capsule != nullptr ? PyCapsule_GetPointer(capsule, kPartsOverrideKey) : nullptr;
            if (force == nullptr) {
                PyErr_Clear();
                throw nb::type_error("vexlo shares no part-count override");
            }
            (*static_cast<void (**)(std::size_t)>(force))(parts);
        },
        nb::arg("parts"),
        "Split every later parallel pass into `parts` parts, or as the machine would for 0.");
    m.def(
        "file_bytes_read",
        []() -> std::uint64_t {
            PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get());
            PyObject* capsule =
                shared != nullptr ? PyDict_GetItemString(shared, kFileBytesReadKey) : nullptr;
            void* read =
                capsule != nullptr ? PyCapsule_GetPointer(capsule, kFileBytesReadKey) : nullptr;
            if (read == nullptr) {
                PyErr_Clear();
                throw nb::type_error("vexlo shares no count of the bytes read");
            }
            return (*static_cast<std::uint64_t (**)()>(read))();
        },
        "The bytes vexlo has read from files so far (its own count, not this module's).");
}

}  // namespace vexlo::py
