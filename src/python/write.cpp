// write(): a list of builder objects streamed into one new FITS file.

#include <Python.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "hdu/writer.hpp"
#include "python/args.hpp"
#include "python/builders.hpp"
#include "python/errors.hpp"
#include "python/method.hpp"
#include "python/module.hpp"
#include "util/try.hpp"

namespace vexlo::py {

namespace {

nb::list list_argument(nb::handle obj) {
    if (!PyList_Check(obj.ptr())) raise_required_instance(obj, "list");
    return nb::borrow<nb::list>(obj);
}

constexpr auto kPath = required<std::string>("path", to_path);
constexpr auto kHdus = required<nb::list>("hdus", list_argument);
constexpr auto kOverwrite = optional<bool>("overwrite", false);
constexpr auto kChecksums = keyword_only(optional<bool>("checksums", false));

nb::object py_write(const Args& p) {
    const std::string path = p.get(kPath);
    const nb::list hdus = p.get(kHdus);
    const bool overwrite = p.get(kOverwrite);
    const bool checksums = p.get(kChecksums);

    const std::size_t n = nb::len(hdus);
    if (n == 0) raise(PyExc_ValueError, "vexlo.write: refusing to write a file with zero HDUs");

    // Every item is checked before the file system is touched, so a refused list never
    // creates, truncates or half-writes a file. The references keep the builders alive.
    std::vector<nb::object> held;
    std::vector<BuilderRef> builders;
    held.reserve(n);
    builders.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        nb::object item = hdus[i];
        const std::optional<BuilderRef> ref = builder_of(item);
        if (!ref) {
            raise(PyExc_TypeError,
                  "write: list items must be ImageBuilder, BinTableBuilder, or AsciiTableBuilder");
        }
        builders.push_back(*ref);
        held.push_back(std::move(item));
    }

    // A list that does not start with an image gets an empty primary HDU in front.
    std::optional<Header> empty_primary;
    if (builders.front().kind != BuilderKind::Image) empty_primary = Header::new_primary();
    for (std::size_t i = 0; i < builders.size(); ++i) {
        const bool is_primary = !empty_primary && i == 0;
        unwrap(check_header_for_write(*builders[i].header, is_primary));
    }

    std::vector<HduView> views;
    views.reserve(builders.size() + 1);
    if (empty_primary) views.push_back(HduView{&*empty_primary, ByteSpan()});
    for (const BuilderRef& b : builders)
        views.push_back(HduView{b.header, b.data});
    // Builders never change after they are made, and `held` keeps them alive.
    unwrap(without_gil([&] { return write_fits_file(path, overwrite, checksums, views); }));
    return nb::none();
}

constexpr auto kWriteSig = signature("write()", kPath, kHdus, kOverwrite, kChecksums);
constexpr auto kWriteDoc = function_doc<kWriteSig>(
    "Write a sequence of HDU builders to disk.\n\n"
    "``hdus`` is a list of the builders returned by :func:`image`, :func:`bintable`,\n"
    ":func:`ascii_table` and :func:`compressed_image`, written in order; an empty primary\n"
    "HDU is put first when the list does not start with an image. An existing file is\n"
    "replaced only with ``overwrite=True``. ``checksums=True`` stamps DATASUM and CHECKSUM\n"
    "into every HDU.");
constexpr FunctionDef kWrite{kWriteDoc, py_write};
const Registration kWriteRegistration{"write",
                                      [](nb::module_& m) { return make_function<kWrite>(m); }};

}  // namespace

}  // namespace vexlo::py
