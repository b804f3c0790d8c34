// Makes inspect.signature read an exported class's text signature.
#pragma once

#include <nanobind/nanobind.h>

namespace vexlo::py {

namespace nb = nanobind;

// Gives a class (anything else is left alone) a `__signature__` built from its
// `__text_signature__` when first asked for.
void add_class_signature(nb::handle cls);

}  // namespace vexlo::py
