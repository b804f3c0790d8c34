"""The helpers every binding shares, driven through the test-only extension vexlo_testing: the
argument parser, library and internal errors, boolean and conversion rules, registration."""

import inspect
import re
import sys
import types
import warnings
import weakref

import pytest

import vexlo

T = pytest.importorskip("vexlo_testing", reason="vexlo_testing is built only with the tests")


def test_hooks_survive_a_reimport_of_vexlo():
    original = sys.modules["vexlo"]
    probe = T.Probe
    try:
        del sys.modules["vexlo"]
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            import vexlo as again
        assert again is not original
        assert T.Probe is probe
        # One FitsError class for the process, whichever extension raises it.
        with pytest.raises(again.FitsError):
            T.fail("fits", "x")
        with pytest.raises(BaseException) as info:
            T.Probe().fail("panic", "after re-import")
        assert not isinstance(info.value, Exception)
    finally:
        sys.modules["vexlo"] = original


# --- Library errors -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "kind, message",
    [
        ("fits", "data: broken"),
        ("unwrap", "in HDU 2: data: broken"),
    ],
)
def test_library_error_becomes_fits_error(kind, message):
    with pytest.raises(OSError) as info:
        T.fail(kind, "broken")
    err = info.value
    assert type(err) is vexlo.FitsError
    assert err.args == (message,)
    assert str(err) == message
    assert err.__cause__ is None
    assert err.errno is None and err.strerror is None


@pytest.mark.parametrize(
    "kind, exc_type",
    [("value", ValueError), ("overflow", OverflowError), ("key", KeyError)],
)
def test_builtin_failures_carry_one_argument(kind, exc_type):
    for call in (T.fail, T.Probe().fail):
        with pytest.raises(exc_type) as info:
            call(kind, "the message")
        assert type(info.value) is exc_type
        assert info.value.args == ("the message",)


def test_memory_failure_is_memory_error():
    for call in (T.fail, T.Probe().fail):
        with pytest.raises(MemoryError):
            call("memory", "")


# --- Internal failures --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "through, kind, kwargs, located",
    [
        ("function", "panic", {}, True),
        ("function", "panic", {"guarded": True}, True),
        ("method", "panic", {}, True),
        ("function", "foreign", {}, False),
        ("method", "foreign", {}, False),
    ],
)
def test_internal_failure_raises_panic(capfd, through, kind, kwargs, located):
    call = T.fail if through == "function" else T.Probe().fail
    with pytest.raises(BaseException) as info:
        call(kind, "invariant broken", **kwargs)
    err = info.value
    assert not isinstance(err, Exception)
    assert type(err).__bases__ == (BaseException,)
    assert type(err).__name__ == "PanicException"
    assert err.args == ("invariant broken",)
    report = capfd.readouterr().err
    if located:
        assert re.search(r"vexlo panicked at \S*tests/python/ext/probes\.cpp:\d+:\d+:\n", report)
    else:
        assert "vexlo panicked at an unknown location:" in report
    assert report.endswith(":\ninvariant broken\n")


def test_a_body_reads_only_the_handles_of_its_own_table(capfd):
    # stray() lists a parameter `value` but reads another handle of that name, whose default
    # its signature does not show: the read panics instead of matching by name.
    with pytest.raises(BaseException) as info:
        T.stray(False)
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == ("stray() has no parameter 'value'",)
    assert capfd.readouterr().err.endswith(":\nstray() has no parameter 'value'\n")


def test_panic_class_is_shared_and_not_exported():
    caught = []
    for call in (T.fail, T.Probe().fail):
        try:
            call("panic", "x")
        except BaseException as e:  # noqa: B036 - the panic class is what is tested
            caught.append(type(e))
    assert caught[0] is caught[1]
    assert not hasattr(vexlo, "PanicException")


# --- Argument matching --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "func, args, kwargs, message",
    [
        (T.fixed, (), {}, "fixed() missing 2 required positional arguments: 'a' and 'b'"),
        (T.fixed, (1,), {"key": 0}, "fixed() missing 1 required positional argument: 'b'"),
        (T.fixed, (1, 2), {}, "fixed() missing 1 required keyword argument: 'key'"),
        (T.fixed, (1, 2, 3), {}, "fixed() takes 2 positional arguments but 3 were given"),
        (T.fixed, (1, 2), {"key": 3, "zz": 4}, "fixed() got an unexpected keyword argument 'zz'"),
        # A keyword matches a name whole, in its UTF-8 text; one UTF-8 cannot encode is shown
        # with its escapes.
        (T.fixed, (1, 2), {"key": 3, "ke": 4}, "fixed() got an unexpected keyword argument 'ke'"),
        (T.fixed, (1, 2), {"keys": 3}, "fixed() got an unexpected keyword argument 'keys'"),
        (T.fixed, (1, 2), {"k\u00e9y": 3}, "fixed() got an unexpected keyword argument 'k\u00e9y'"),
        (
            T.fixed,
            (1, 2),
            {"key": 3, "\udc80": 4},
            "fixed() got an unexpected keyword argument '\\udc80'",
        ),
        (T.fixed, (1,), {"a": 2, "key": 3}, "fixed() got multiple values for argument 'a'"),
        (T.nothing, (1,), {}, "nothing() takes 0 positional arguments but 1 was given"),
        (T.nothing, (), {"x": 1}, "nothing() got an unexpected keyword argument 'x'"),
        (T.ranged, (), {}, "ranged() missing 1 required positional argument: 'value'"),
        (
            T.ranged,
            (1, None, True, 4, 5),
            {"strict": True},
            "ranged() takes from 1 to 3 positional arguments but 5 were given",
        ),
        (
            T.ranged,
            (1,),
            {"value": 1},
            "ranged() got multiple values for argument 'value'",
        ),
        # Keyword-only parameters cannot be given by position.
        (T.ranged, (1, None, True, False), {}, "ranged() takes from 1 to 3 positional "
         "arguments but 4 were given"),
        (
            T.register_attr,
            (),
            {},
            "register_attr() missing 3 required positional arguments: "
            "'module', 'name', and 'value'",
        ),
        (T.Probe().echo, (), {}, "Probe.echo() missing 1 required positional argument: 'value'"),
        (T.Probe().echo, (1, 2), {}, "Probe.echo() takes 1 positional arguments but 2 were given"),
        (T.Probe().echo, (1,), {"fla": 1}, "Probe.echo() got an unexpected keyword argument 'fla'"),
        (
            T.Probe().echo,
            (1,),
            {"\udc80": 1},
            "Probe.echo() got an unexpected keyword argument '\\udc80'",
        ),
    ],
)
def test_argument_matching_errors(func, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)
    assert info.value.__cause__ is None


def test_too_many_arguments_reported_before_keyword_errors():
    with pytest.raises(TypeError) as info:
        T.fixed(1, 2, 3, zz=1)
    assert str(info.value) == "fixed() takes 2 positional arguments but 3 were given"


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((1, 2), {"key": 3}, (1, 2, 3)),
        ((), {"b": 2, "a": 1, "key": 3}, (1, 2, 3)),
        ((1,), {"key": 3, "b": 2}, (1, 2, 3)),
    ],
)
def test_arguments_matched_by_position_and_keyword(args, kwargs, expected):
    assert T.fixed(*args, **kwargs) == expected


def test_defaults_and_none():
    assert T.ranged(5) == (5, True, False)
    # None for a parameter whose default is None is the same as omitting it.
    assert T.ranged(5, None) == (5, True, False)
    assert T.ranged(5, converter=None, flag=False, strict=True) == (5, False, True)
    assert T.Probe().echo("v") == ("v", False)


# --- Boolean parameters -------------------------------------------------------------------------


@pytest.mark.parametrize("value, truth", [(True, True), (False, False)])
def test_bool_accepts_python_bool(value, truth):
    assert T.ranged(0, flag=value) == (0, truth, False)
    assert T.ranged(0, strict=value) == (0, True, truth)
    assert T.Probe().echo(0, flag=value) == (0, truth)


@pytest.mark.parametrize(
    "value, type_name",
    [
        (1, "int"),
        (0, "int"),
        (None, "NoneType"),
        ("yes", "str"),
        (1.0, "float"),
        ([], "list"),
    ],
)
def test_bool_rejects_other_objects(value, type_name):
    inner = f"'{type_name}' object is not an instance of 'bool'"
    for name, call in [
        ("flag", lambda: T.ranged(0, None, value)),
        ("strict", lambda: T.ranged(0, strict=value)),
        ("flag", lambda: T.Probe().echo(0, flag=value)),
        ("value", lambda: T.convert("bool", value)),
    ]:
        with pytest.raises(TypeError) as info:
            call()
        assert info.value.args == (f"argument '{name}': {inner}",)
        assert info.value.__cause__ is None


def test_bool_accepts_numpy_bool_scalar():
    np = pytest.importorskip("numpy")
    assert T.ranged(0, flag=np.bool_(False)) == (0, False, False)
    assert T.ranged(0, strict=np.True_) == (0, True, True)
    assert T.convert("bool", np.False_) is False
    with pytest.raises(TypeError) as info:
        T.ranged(0, flag=np.int8(1))
    assert str(info.value) == "argument 'flag': 'int8' object is not an instance of 'bool'"


def test_bool_checks_type_module_not_just_name():
    fake = type("bool_", (), {"__module__": "not_numpy", "__bool__": lambda self: True})
    with pytest.raises(TypeError) as info:
        T.ranged(0, flag=fake())
    assert str(info.value) == "argument 'flag': 'bool_' object is not an instance of 'bool'"
    lookalike = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: False})
    assert T.ranged(0, flag=lookalike()) == (0, False, False)


# --- Wrapping of conversion errors --------------------------------------------------------------


class TypeErrorSubclass(TypeError):
    pass


def raise_plain(_):
    raise TypeError("plain failure")


def raise_with_cause(_):
    try:
        raise ValueError("root cause")
    except ValueError as root:
        raise TypeError("caused failure") from root


def raise_with_context(_):
    try:
        raise ValueError("context only")
    except ValueError:
        raise TypeError("failure with context")


def raise_subclass(_):
    raise TypeErrorSubclass("subclass failure")


@pytest.mark.parametrize(
    "converter, message, cause",
    [
        (raise_plain, "plain failure", None),
        (raise_with_cause, "caused failure", "root cause"),
        (raise_with_context, "failure with context", None),
        (raise_subclass, "subclass failure", None),
    ],
)
def test_type_error_from_conversion_names_the_argument(converter, message, cause):
    with pytest.raises(TypeError) as info:
        T.ranged(1, converter)
    err = info.value
    assert type(err) is TypeError
    assert err.args == (f"argument 'value': {message}",)
    if cause is None:
        assert err.__cause__ is None
    else:
        assert type(err.__cause__) is ValueError
        assert err.__cause__.args == (cause,)


def test_other_conversion_errors_pass_through():
    original = KeyError("kept")

    def raise_key_error(_):
        raise original

    with pytest.raises(KeyError) as info:
        T.ranged(1, raise_key_error)
    assert info.value is original
    with pytest.raises(ZeroDivisionError):
        T.ranged(1, lambda _: 1 / 0)


def test_conversion_result_is_returned():
    assert T.ranged(4, lambda v: v * 10) == (40, True, False)


@pytest.mark.parametrize(
    "kind, value, expected",
    [
        ("i64", -(2**63), -(2**63)),
        ("i64", True, 1),
        ("u64", 2**64 - 1, 2**64 - 1),
        ("f64", 3, 3.0),
        ("f64", 2.5, 2.5),
        ("str", "h\u00e9", "h\u00e9"),
    ],
)
def test_scalar_conversions(kind, value, expected):
    result = T.convert(kind, value)
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize(
    "kind, value, exc_type, message",
    [
        ("u64", -1, OverflowError, None),
        ("u64", 2**64, OverflowError, None),
        ("i64", 2**63, OverflowError, None),
        ("i64", 1.5, TypeError, "argument 'value': 'float' object cannot be interpreted as an "
         "integer"),
        ("u64", "3", TypeError, "argument 'value': 'str' object cannot be interpreted as an "
         "integer"),
        ("str", b"x", TypeError, "argument 'value': 'bytes' object is not an instance of 'str'"),
        ("str", None, TypeError, "argument 'value': 'None' is not an instance of 'str'"),
        ("f64", "x", TypeError, "argument 'value': must be real number, not str"),
    ],
)
def test_scalar_conversion_errors(kind, value, exc_type, message):
    with pytest.raises(exc_type) as info:
        T.convert(kind, value)
    assert type(info.value) is exc_type
    if message is not None:
        assert info.value.args == (message,)
    elif exc_type is OverflowError:
        assert "argument" not in str(info.value)


@pytest.mark.parametrize(
    "args, message",
    [
        ((1,), "argument 'probe': 'int' object is not an instance of 'Probe'"),
        ((None,), "argument 'probe': 'None' is not an instance of 'Probe'"),
        ((T.Probe(), "x"), "argument 'other': 'str' object is not an instance of 'Probe'"),
    ],
)
def test_required_object_messages(args, message):
    with pytest.raises(TypeError) as info:
        T.take_probe(*args)
    assert info.value.args == (message,)


def test_required_object_accepted():
    a, b = T.Probe(), T.Probe()
    assert T.take_probe(a) == (a, None)
    assert T.take_probe(a, None) == (a, None)
    assert T.take_probe(a, other=b) == (a, b)


# --- Registration helpers -----------------------------------------------------------------------


def test_register_attr_creates_and_extends_all():
    module = types.ModuleType("scratch")
    marker = object()
    T.register_attr(module, "first", marker)
    T.register_attr(module, "second", 2)
    assert module.__all__ == ["first", "second"]
    assert module.first is marker and module.second == 2


@pytest.mark.parametrize("bad, type_name", [(("x",), "tuple"), (None, "NoneType")])
def test_register_attr_rejects_non_list_all(bad, type_name):
    module = types.ModuleType("scratch")
    module.__all__ = bad
    with pytest.raises(TypeError) as info:
        T.register_attr(module, "name", 1)
    assert info.value.args == (f"'{type_name}' object is not an instance of 'list'",)
    assert not hasattr(module, "name")


def test_module_functions_are_builtins():
    assert isinstance(T.fixed, types.BuiltinFunctionType)
    assert T.fixed.__module__ == "vexlo_testing"
    assert T.fixed.__self__ is T
    assert T.fixed.__name__ == "fixed"
    assert T.fixed.__text_signature__ == "(a, b, *, key)"
    assert T.fixed.__doc__ == "Echo three arguments."
    assert str(inspect.signature(T.ranged)) == (
        "(value, converter=None, flag=True, *, strict=False)"
    )


def test_classes_are_final_without_dict_or_weakref():
    with pytest.raises(TypeError):

        class Derived(T.Probe):
            pass

    probe = T.Probe()
    with pytest.raises(AttributeError):
        probe.__dict__
    with pytest.raises(AttributeError):
        probe.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(probe)
    assert T.Probe.__module__ == "vexlo_testing"
    assert T.Probe.__doc__ == "A final class exercising the binding helpers."
