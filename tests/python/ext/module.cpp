// The test-only extension module. vexlo is imported first: the hooks hand out and take
// vexlo's own classes, which exist once vexlo has been initialised.
#include "hooks.hpp"
#include "python/errors.hpp"

NB_MODULE(vexlo_testing, m) {
    m.doc() = "Private hooks for vexlo's own test suite.";
    vexlo::py::guard([&] {
        nanobind::module_::import_("vexlo");
        vexlo::py::install_error_translator();
        vexlo::py::add_binding_probes(m);
        vexlo::py::add_handle_hooks(m);
        vexlo::py::add_compression_hooks(m);
        vexlo::py::add_parallel_hooks(m);
    });
}
