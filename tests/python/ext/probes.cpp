// Probes through which the Python test suite drives the argument parser, the error helpers and
// the registration helpers of the bindings.
#include <new>
#include <stdexcept>
#include <string>

#include "hooks.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/module.hpp"

namespace vexlo::py {

namespace {

// A final class with a constructor and two methods parsed by the shared parser.
struct Probe {};

// Raises the failure named by `kind`, the way a binding would.
[[noreturn]] void fail_as(const std::string& kind, const std::string& message) {
    if (kind == "panic") panic(message);
    if (kind == "foreign") throw std::logic_error(message);
    if (kind == "fits") to_fits_error(Error::data(message));
    if (kind == "unwrap") {
        (void)unwrap(Result<int>(std::unexpected(Error::in_hdu(2, Error::data(message)))));
    }
    if (kind == "value") raise(PyExc_ValueError, message);
    if (kind == "overflow") raise(PyExc_OverflowError, message);
    if (kind == "key") throw nb::key_error(message.c_str());
    if (kind == "memory") throw std::bad_alloc();
    raise(PyExc_ValueError, "unknown failure kind " + kind);
}

constexpr auto kFixedSig =
    signature("fixed()", required("a"), required("b"), keyword_only_required("key"));
nb::object fixed(const Args& p) {
    return nb::make_tuple(p.get("a"), p.get("b"), p.get("key"));
}
constexpr auto kFixedDoc = function_doc<kFixedSig>("Echo three arguments.");
constexpr FunctionDef kFixed{kFixedDoc, fixed};

constexpr auto kRangedSig = signature("ranged()", required("value"), optional("converter", "None"),
                                      optional("flag", "True"), keyword_only("strict", "False"));
nb::object ranged(const Args& p) {
    nb::handle converter = p.get_opt("converter");
    nb::object value = converter.is_valid()
                           ? p.convert("value", [&](nb::handle h) { return converter(h); })
                           : nb::borrow(p.get("value"));
    const bool flag = p.flag("flag", true);
    const bool strict = p.flag("strict", false);
    return nb::make_tuple(value, flag, strict);
}
constexpr auto kRangedDoc =
    function_doc<kRangedSig>("Convert `value` with `converter` and echo the flags.");
constexpr FunctionDef kRanged{kRangedDoc, ranged};

constexpr auto kNothingSig = signature("nothing()");
nb::object nothing(const Args&) {
    return nb::none();
}
constexpr auto kNothingDoc = function_doc<kNothingSig>("Take nothing.");
constexpr FunctionDef kNothing{kNothingDoc, nothing};

constexpr auto kConvertSig = signature("convert()", required("kind"), required("value"));
nb::object convert(const Args& p) {
    const std::string kind = p.convert("kind", to_string);
    if (kind == "bool") return nb::bool_(p.convert("value", to_bool));
    if (kind == "i64") return nb::int_(p.convert("value", to_i64));
    if (kind == "u64") return nb::int_(p.convert("value", to_u64));
    if (kind == "f64") return nb::float_(p.convert("value", to_f64));
    if (kind == "str") return nb::str(p.convert("value", to_string).c_str());
    raise(PyExc_ValueError, "unknown conversion " + kind);
}
constexpr auto kConvertDoc = function_doc<kConvertSig>("Convert `value` as `kind`.");
constexpr FunctionDef kConvert{kConvertDoc, convert};

constexpr auto kTakeProbeSig =
    signature("take_probe()", required("probe"), optional("other", "None"));
nb::object take_probe(const Args& p) {
    (void)p.instance<Probe>("probe", "Probe");
    Probe* other = p.instance_opt<Probe>("other", "Probe");
    return nb::make_tuple(p.get("probe"), other != nullptr ? p.get("other") : nb::none());
}
constexpr auto kTakeProbeDoc = function_doc<kTakeProbeSig>("Require Probe objects.");
constexpr FunctionDef kTakeProbe{kTakeProbeDoc, take_probe};

constexpr auto kFailSig =
    signature("fail()", required("kind"), required("message"), keyword_only("guarded", "False"));
nb::object fail(const Args& p) {
    const std::string kind = p.convert("kind", to_string);
    const std::string message = p.convert("message", to_string);
    if (p.flag("guarded", false)) guard([&] { fail_as(kind, message); });
    fail_as(kind, message);
}
constexpr auto kFailDoc = function_doc<kFailSig>("Raise a failure.");
constexpr FunctionDef kFail{kFailDoc, fail};

constexpr auto kRegisterAttrSig =
    signature("register_attr()", required("module"), required("name"), required("value"));
nb::object do_register_attr(const Args& p) {
    register_attr(p.get("module"), p.convert("name", to_string), p.get("value"));
    return nb::none();
}
constexpr auto kRegisterAttrDoc =
    function_doc<kRegisterAttrSig>("Add an exported attribute to `module`.");
constexpr FunctionDef kRegisterAttr{kRegisterAttrDoc, do_register_attr};

constexpr auto kEchoSig =
    signature("Probe.echo()", required("value"), keyword_only("flag", "False"));
constexpr auto kProbeFailSig = signature("Probe.fail()", required("kind"), required("message"));

nb::object make_probe_class(nb::module_& scope) {
    return bound_class<Probe>([&] {
        return nb::class_<Probe>(scope, "Probe",
                                 "Probe()\n--\n\nA final class exercising the binding helpers.",
                                 nb::is_final())
            .def(nb::init<>())
            .def("echo",
                 [](Probe&, nb::args args, nb::kwargs kwargs) {
                     const Args p = parse_args(kEchoSig, args, kwargs);
                     return nb::make_tuple(p.get("value"), p.flag("flag", false));
                 })
            .def("fail", [](Probe&, nb::args args, nb::kwargs kwargs) -> nb::object {
                const Args p = parse_args(kProbeFailSig, args, kwargs);
                fail_as(p.convert("kind", to_string), p.convert("message", to_string));
            });
    });
}

}  // namespace

void add_binding_probes(nb::module_& testing) {
    testing.attr("Probe") = make_probe_class(testing);
    testing.attr("fixed") = make_function<kFixed>(testing);
    testing.attr("ranged") = make_function<kRanged>(testing);
    testing.attr("nothing") = make_function<kNothing>(testing);
    testing.attr("convert") = make_function<kConvert>(testing);
    testing.attr("take_probe") = make_function<kTakeProbe>(testing);
    testing.attr("fail") = make_function<kFail>(testing);
    testing.attr("register_attr") = make_function<kRegisterAttr>(testing);
}

}  // namespace vexlo::py
