// The part count of parallel passes, forced so that the tests split rows, chunks and batches
// on every machine, a one-core one included.
#include <cstddef>

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
}

}  // namespace vexlo::py
