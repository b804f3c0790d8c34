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

// The handles of the probes' tables; several tables share one where name, type and default
// agree.
constexpr auto kA = required<nb::handle>("a");
constexpr auto kB = required<nb::handle>("b");
constexpr auto kKey = keyword_only(required<nb::handle>("key"));
constexpr auto kValue = required<nb::handle>("value");
constexpr auto kConverter = or_none<nb::handle>("converter");
constexpr auto kFlag = optional<bool>("flag", true);
constexpr auto kStrict = keyword_only(optional<bool>("strict", false));
constexpr auto kKind = required<std::string>("kind");
constexpr auto kMessage = required<std::string>("message");
constexpr auto kGuarded = keyword_only(optional<bool>("guarded", false));
constexpr auto kModule = required<nb::handle>("module");
constexpr auto kName = required<std::string>("name");
constexpr auto kEchoFlag = keyword_only(optional<bool>("flag", false));

Probe& probe_argument(nb::handle obj) {
    return cast_instance<Probe>(obj, "Probe");
}
constexpr auto kProbe = required<Probe&>("probe", probe_argument);
constexpr auto kOther = or_none<Probe&>("other", probe_argument);

constexpr auto kFixedSig = signature("fixed()", kA, kB, kKey);
nb::object fixed(const Args& p) {
    return nb::make_tuple(p.get(kA), p.get(kB), p.get(kKey));
}
constexpr auto kFixedDoc = function_doc<kFixedSig>("Echo three arguments.");
constexpr FunctionDef kFixed{kFixedDoc, fixed};

constexpr auto kRangedSig = signature("ranged()", kValue, kConverter, kFlag, kStrict);
nb::object ranged(const Args& p) {
    nb::handle converter = p.get(kConverter);
    nb::object value =
        converter.is_valid()
            ? with_arg_name(kValue.param.name, [&] { return converter(p.get(kValue)); })
            : nb::borrow(p.get(kValue));
    const bool flag = p.get(kFlag);
    const bool strict = p.get(kStrict);
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

constexpr auto kConvertSig = signature("convert()", kKind, kValue);
nb::object convert(const Args& p) {
    const std::string kind = p.get(kKind);
    // The conversion picked by `kind`, its TypeError naming the parameter as a handle's would.
    const auto value = [&](auto to) {
        return with_arg_name(kValue.param.name, [&] { return to(p.get(kValue)); });
    };
    if (kind == "bool") return nb::bool_(value(to_bool));
    if (kind == "i64") return nb::int_(value(to_i64));
    if (kind == "u64") return nb::int_(value(to_u64));
    if (kind == "f64") return nb::float_(value(to_f64));
    if (kind == "str") return nb::str(value(to_string).c_str());
    raise(PyExc_ValueError, "unknown conversion " + kind);
}
constexpr auto kConvertDoc = function_doc<kConvertSig>("Convert `value` as `kind`.");
constexpr FunctionDef kConvert{kConvertDoc, convert};

constexpr auto kTakeProbeSig = signature("take_probe()", kProbe, kOther);
nb::object take_probe(const Args& p) {
    (void)p.get(kProbe);
    Probe* other = p.get(kOther);
    return nb::make_tuple(p.passed(kProbe), other != nullptr ? p.passed(kOther) : nb::none());
}
constexpr auto kTakeProbeDoc = function_doc<kTakeProbeSig>("Require Probe objects.");
constexpr FunctionDef kTakeProbe{kTakeProbeDoc, take_probe};

constexpr auto kFailSig = signature("fail()", kKind, kMessage, kGuarded);
nb::object fail(const Args& p) {
    const std::string kind = p.get(kKind);
    const std::string message = p.get(kMessage);
    if (p.get(kGuarded)) guard([&] { fail_as(kind, message); });
    fail_as(kind, message);
}
constexpr auto kFailDoc = function_doc<kFailSig>("Raise a failure.");
constexpr FunctionDef kFail{kFailDoc, fail};

constexpr auto kRegisterAttrSig = signature("register_attr()", kModule, kName, kValue);
nb::object do_register_attr(const Args& p) {
    register_attr(p.get(kModule), p.get(kName), p.get(kValue));
    return nb::none();
}
constexpr auto kRegisterAttrDoc =
    function_doc<kRegisterAttrSig>("Add an exported attribute to `module`.");
constexpr FunctionDef kRegisterAttr{kRegisterAttrDoc, do_register_attr};

// A body that reads a handle its table does not list, though the table has a parameter of
// that name: the read must not fall back on the name.
constexpr auto kStrayValue = optional<bool>("value", true);
constexpr auto kStraySig = signature("stray()", kValue);
nb::object stray(const Args& p) {
    return nb::bool_(p.get(kStrayValue));
}
constexpr auto kStrayDoc = function_doc<kStraySig>("Read a handle of no table of its own.");
constexpr FunctionDef kStray{kStrayDoc, stray};

constexpr auto kEchoSig = signature("Probe.echo()", kValue, kEchoFlag);
constexpr auto kProbeFailSig = signature("Probe.fail()", kKind, kMessage);

nb::object make_probe_class(nb::module_& scope) {
    return bound_class<Probe>([&] {
        return nb::class_<Probe>(scope, "Probe",
                                 "Probe()\n--\n\nA final class exercising the binding helpers.",
                                 nb::is_final())
            .def(nb::init<>())
            .def("echo",
                 [](Probe&, nb::args args, nb::kwargs kwargs) {
                     const Args p = parse_args(kEchoSig, args, kwargs);
                     return nb::make_tuple(p.get(kValue), p.get(kEchoFlag));
                 })
            .def("fail", [](Probe&, nb::args args, nb::kwargs kwargs) -> nb::object {
                const Args p = parse_args(kProbeFailSig, args, kwargs);
                fail_as(p.get(kKind), p.get(kMessage));
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
    testing.attr("stray") = make_function<kStray>(testing);
}

}  // namespace vexlo::py
