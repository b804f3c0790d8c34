// vexlo.FitsDiff and vexlo.diff(): the comparison of two files, wrapped as an immutable result.
#include <Python.h>

#include <string>
#include <utility>
#include <vector>

#include "compression/reader.hpp"
#include "diff/engine.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/method.hpp"
#include "python/module.hpp"

namespace vexlo::py {

namespace {

struct PyFitsDiff {
    FitsDiff result;  // never changed after creation
};

nb::str to_str(const std::string& text) {
    return nb::str(text.data(), text.size());
}

std::string report_text(const FitsDiff& d) {
    std::string out;
    d.write_report(out);
    return out;
}

// ---- members ----

constexpr auto kIndicesSig = signature("FitsDiff.diff_hdu_indices()");
nb::object diff_hdu_indices(PyFitsDiff& self, const Args&) {
    nb::list out;
    for (const std::uint64_t k : self.result.differing_indices())
        out.append(nb::int_(k));
    return out;
}
constexpr auto kIndicesDoc = method_doc<kIndicesSig>(
    "Return the index of every compared HDU with a difference.\n\n"
    "Ascending; 0 is the primary HDU.");
constexpr MethodDef<PyFitsDiff> kIndices{kIndicesDoc, diff_hdu_indices};

constexpr auto kReportSig = signature("FitsDiff.report()");
nb::object report(PyFitsDiff& self, const Args&) {
    return to_str(report_text(self.result));
}
constexpr auto kReportDoc = method_doc<kReportSig>(
    "Render the differences as text.\n\n"
    "The same text as ``str(diff)``.");
constexpr MethodDef<PyFitsDiff> kReport{kReportDoc, report};

PyObject* diff_str(PyObject* self) {
    PyObject* result = nullptr;
    guard_c(
        [&] { result = to_str(report_text(self_state<PyFitsDiff>(self).result)).release().ptr(); });
    return result;
}

PyObject* diff_repr(PyObject* self) {
    PyObject* result = nullptr;
    guard_c([&] {
        const FitsDiff& d = self_state<PyFitsDiff>(self).result;
        const std::string text = "FitsDiff(hdu_counts=(" + std::to_string(d.n_a) + ", " +
                                 std::to_string(d.n_b) +
                                 "), identical=" + (d.identical() ? "true" : "false") + ")";
        result = to_str(text).release().ptr();
    });
    return result;
}

// True when differences were found, so `if vexlo.diff(a, b):` reads naturally.
int diff_bool(PyObject* self) {
    int result = -1;
    guard_c([&] { result = self_state<PyFitsDiff>(self).result.identical() ? 0 : 1; });
    return result;
}

PyType_Slot kDiffSlots[] = {
    {Py_tp_str, reinterpret_cast<void*>(diff_str)},
    {Py_tp_repr, reinterpret_cast<void*>(diff_repr)},
    {Py_nb_bool, reinterpret_cast<void*>(diff_bool)},
    {0, nullptr},
};

nb::object make_fits_diff_class(nb::module_& m) {
    return bound_class<PyFitsDiff>([&] {
        auto cls = nb::class_<PyFitsDiff>(
            m, "FitsDiff",
            "Result of comparing two FITS files. See :func:`diff`.\n\n"
            "Immutable; refers to neither file. ``bool(result)`` is true when differences\n"
            "were found, and ``str(result)`` is the text report.",
            nb::is_final(), nb::type_slots(kDiffSlots));
        add_property<PyFitsDiff>(
            cls, "identical", [](const PyFitsDiff& d) { return nb::bool_(d.result.identical()); },
            "True when both files have the same number of HDUs and no\n"
            "compared HDU differs.");
        add_property<PyFitsDiff>(
            cls, "hdu_counts",
            [](const PyFitsDiff& d) {
                return nb::make_tuple(nb::int_(d.result.n_a), nb::int_(d.result.n_b));
            },
            "HDU counts of the two files, as ``(n_a, n_b)``. When the\n"
            "counts differ, only the first ``min(n_a, n_b)`` HDUs are compared.");
        add_property<PyFitsDiff>(
            cls, "diff_hdu_count",
            [](const PyFitsDiff& d) { return nb::int_(d.result.differing_count()); },
            "Number of compared HDUs with a reported difference.");
        add_method<PyFitsDiff, kIndices>(cls);
        add_method<PyFitsDiff, kReport>(cls);
        return cls;
    });
}

const Registration kFitsDiffRegistration{"FitsDiff", make_fits_diff_class};

// ---- diff() ----

// A sequence of str, never a str itself (which would read as its characters).
std::vector<std::string> to_keyword_list(nb::handle obj) {
    if (PyUnicode_Check(obj.ptr()))
        raise(PyExc_TypeError, "a sequence of str is expected, not a str");
    if (!PySequence_Check(obj.ptr())) raise_not_instance(obj, "Sequence");
    const Py_ssize_t n = PySequence_Size(obj.ptr());
    if (n < 0) throw nb::python_error();
    std::vector<std::string> out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object item = nb::steal(PySequence_GetItem(obj.ptr(), i));
        if (!item.is_valid()) throw nb::python_error();
        out.push_back(to_string(item));
    }
    return out;
}

constexpr auto kA = required<std::string>("a", to_path);
constexpr auto kB = required<std::string>("b", to_path);
constexpr auto kRtol = keyword_only(optional<double>("rtol", 0.0));
constexpr auto kAtol = keyword_only(optional<double>("atol", 0.0));
constexpr auto kMaxDiffs = keyword_only(optional<std::uint64_t>("max_diffs", 10));
constexpr auto kIgnoreKeywords =
    keyword_only(or_none<std::vector<std::string>>("ignore_keywords", to_keyword_list));
constexpr auto kDiffSig = signature("diff()", kA, kB, kRtol, kAtol, kMaxDiffs, kIgnoreKeywords);
nb::object diff(const Args& p) {
    // Every argument converts before either file is touched.
    const std::string a = p.get(kA);
    const std::string b = p.get(kB);
    DiffOptions options;
    options.decompress = &decompress;
    options.rtol = p.get(kRtol);
    options.atol = p.get(kAtol);
    options.max_diffs = p.get(kMaxDiffs);
    if (auto keywords = p.get(kIgnoreKeywords)) {
        options.ignore_keywords = std::move(*keywords);
    }
    Result<FitsDiff> result = [&] {
        // The comparison reads files and touches no Python object.
        nb::gil_scoped_release release;
        return diff_files(a, b, std::move(options));
    }();
    return nb::cast(PyFitsDiff{unwrap(std::move(result))}, nb::rv_policy::move);
}
constexpr auto kDiffDoc = function_doc<kDiffSig>(
    "Compare two FITS files and return the differences.\n\n"
    "HDUs are paired by position. Headers are compared keyword by keyword (CHECKSUM,\n"
    "DATASUM and DATE are ignored unless `ignore_keywords` replaces that list); image\n"
    "pixels in physical units, table cells one by one, tile-compressed images as images.\n"
    "Numbers are equal when ``|a - b| <= |b| * rtol + atol``. Every data difference is\n"
    "counted; at most `max_diffs` per HDU are kept for the report.");
constexpr FunctionDef kDiff{kDiffDoc, diff};
const Registration kDiffRegistration{"diff",
                                     [](nb::module_& m) { return make_function<kDiff>(m); }};

}  // namespace

}  // namespace vexlo::py
