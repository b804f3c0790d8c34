// Hooks for what the public interface cannot reach yet: header handles with the read-only and
// modified flags that only the file layer hands out, the HDU a rewrite would write, an image
// built from stored bytes, the file flags of update mode and the lock guards of its session.
#include <memory>
#include <string_view>
#include <utility>

#include "hooks.hpp"
#include "io/file.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/file_session.hpp"
#include "python/header.hpp"
#include "python/image.hpp"

namespace vexlo::py {

namespace {

PyImageHdu& image_argument(nb::handle obj) {
    PyImageHdu* state = image_state(obj);
    if (state == nullptr || !nb::inst_ready(obj)) raise_required_instance(obj, "ImageHdu");
    return *state;
}

nb::bytes to_py_bytes(ByteSpan bytes) {
    return nb::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

}  // namespace

void add_handle_hooks(nb::module_& m) {
    m.def("header_handle", [](nb::handle header, bool read_only, bool tracked) {
        PyHeader handle = PyHeader::share(header);
        handle.read_only = read_only;
        handle.session = tracked ? std::make_shared<FileSession>() : nullptr;
        return make_header_object(std::move(handle));
    });
    m.def("header_share",
          [](nb::handle header) { return make_header_object(PyHeader::share(header)); });
    m.def("header_modified", [](nb::handle header) -> nb::object {
        const PyHeader handle = PyHeader::share(header);
        if (!handle.session) return nb::none();
        return nb::bool_(handle.session->modified.load());
    });

    m.def("image_owned", [](nb::handle hdu, bool primary) {
        const OwnedHdu owned = to_owned_hdu(image_argument(hdu), primary);
        const Bytes header = owned.header.to_bytes();
        return nb::make_tuple(to_py_bytes(header), to_py_bytes(owned.data));
    });
    m.def("image_from_bytes", [](nb::bytes header, nb::bytes data, bool read_only) {
        const PyHeader parsed = header_from_text({header.c_str(), header.size()}, false);
        const ByteSpan pixels(reinterpret_cast<const std::uint8_t*>(data.c_str()), data.size());
        return make_image_object(PyImageHdu::from_bytes(parsed.snapshot(), pixels, read_only));
    });
    m.def("image_track", [](nb::handle hdu) {
        PyImageHdu& state = image_argument(hdu);
        state.session = std::make_shared<FileSession>();
        state.header.session = state.session;
    });
    m.def("image_flags", [](nb::handle hdu) -> nb::object {
        const PyImageHdu& state = image_argument(hdu);
        if (!state.session) return nb::none();
        return nb::make_tuple(state.session->modified.load(), state.session->data_accessed.load());
    });
    // The guards of an update-mode file's locks while each is lent to the guard below it: what
    // the lent guard holds then, what taking the updater through it does, and whether the
    // operation is whole again afterwards.
    m.def("session_guards_lent", [](nb::str path) {
        const FitsFile scan = unwrap(FitsFile::open(path.c_str(), true));
        FileSession session(unwrap(FitsUpdater::open(path.c_str(), scan)));
        FileSession::Operation op = session.operation();
        nb::list seen;
        {
            auto turn = lend_writer_turn(op);
            seen.append(op.session() == nullptr);
            // Only through a guard that holds nothing: one that still named the session would
            // wait on the updater lock below for ever.
            if (op.session() == nullptr) {
                try {
                    (void)lend_updater(op);
                    seen.append("taken");
                } catch (const Panic& e) {
                    seen.append(e.what());
                }
            }
            auto up = lend_updater(*turn);
            seen.append(turn->session() == nullptr);
        }
        seen.append(op.session() == &session);
        return seen;
    });
}

}  // namespace vexlo::py
