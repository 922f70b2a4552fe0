"""The Python face of the native module: module attributes, the Synth class,
argument binding and conversion, spec texts given to the constructor, and
thread affinity."""

from __future__ import annotations

import gc
import json
import re
import sys
import threading
import weakref

import pytest

import talpen_synth
from talpen_synth import Synth, _talpen_synth

from conftest import WORKED_SPEC, cmd, make_spec

NO_SPEC = '{"ok":false,"error":"bad spec: no spec set"}'


def in_thread(fn):
    """Runs fn on a new thread; returns its result or re-raises its exception."""
    box = {}

    def run():
        try:
            box["result"] = fn()
        except BaseException as e:  # noqa: BLE001 - PanicException is a BaseException
            box["error"] = e

    # Earlier handles caught in reference cycles are collected here, on their
    # own thread, rather than by a collection that the new thread happens to
    # start (which would report them as dropped on a foreign thread).
    gc.collect()
    t = threading.Thread(target=run)
    t.start()
    t.join()
    if "error" in box:
        raise box["error"]
    return box.get("result")


# --- module ---------------------------------------------------------------


def test_module_attributes():
    m = _talpen_synth
    assert m.__name__ == "talpen_synth._talpen_synth"
    assert m.__doc__ == "The native module (`talpen_synth._talpen_synth`)."
    assert m.__version__ == "0.1.4"
    assert m.__all__ == ["__version__", "Synth"]
    own = {k for k in vars(m) if k not in {"__name__", "__doc__", "__package__", "__loader__", "__spec__",
                                           "__file__"}}
    assert own == {"__version__", "__all__", "Synth"}


def test_package_reexports():
    assert talpen_synth.Synth is Synth
    assert talpen_synth.__version__ == "0.1.4"
    assert talpen_synth.__all__[:2] == ["__version__", "Synth"]
    assert all(hasattr(talpen_synth, name) for name in talpen_synth.__all__)


# --- the class ------------------------------------------------------------


def test_class_identity_and_docs():
    assert (Synth.__name__, Synth.__qualname__, Synth.__module__) == ("Synth", "Synth", "builtins")
    assert Synth.__text_signature__ == "(spec_json)"
    assert Synth.__doc__ == (
        "A synth driven by JSON commands.\n\n"
        "`unsendable`: the handle holds a stateful generator, so it is bound to the\n"
        "thread that created it."
    )
    assert Synth.command.__text_signature__ == "($self, cmd_json)"
    assert Synth.command.__doc__ == "Apply a command JSON and return the resulting response JSON."
    assert Synth.version.__text_signature__ == "()"
    assert Synth.version.__doc__ == "The library version."


def test_instances_have_no_attributes_and_are_untracked():
    h = Synth("")
    with pytest.raises(AttributeError):
        h.x = 1
    assert not hasattr(h, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(h)
    assert not gc.is_tracked(h)


def test_cannot_subclass():
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (Synth,), {})


def test_object_new_cannot_bypass_the_constructor():
    with pytest.raises(TypeError):
        object.__new__(Synth)


def test_version():
    assert Synth.version() == "0.1.4"
    assert Synth("").version() == _talpen_synth.__version__
    with pytest.raises(TypeError, match="takes no arguments"):
        Synth.version(1)
    with pytest.raises(TypeError):
        Synth("").version("x")


# --- argument binding -----------------------------------------------------

NEW = "Synth.__new__()"
CMD = "Synth.command()"


def call_new(*args, **kwargs):
    return Synth(*args, **kwargs)


def call_command(*args, **kwargs):
    return Synth("").command(*args, **kwargs)


@pytest.mark.parametrize(
    "call, args, kwargs, message",
    [
        (call_new, (), {}, f"{NEW} missing 1 required positional argument: 'spec_json'"),
        (call_new, ("{}", "{}"), {}, f"{NEW} takes 1 positional arguments but 2 were given"),
        (call_new, ("{}",), {"spec": "{}"}, f"{NEW} got an unexpected keyword argument 'spec'"),
        (call_new, ("{}",), {"spec_json": "{}"}, f"{NEW} got multiple values for argument 'spec_json'"),
        (call_command, (), {}, f"{CMD} missing 1 required positional argument: 'cmd_json'"),
        (call_command, ("a", "b"), {}, f"{CMD} takes 1 positional arguments but 2 were given"),
        (call_command, ("a", "b", "c"), {}, f"{CMD} takes 1 positional arguments but 3 were given"),
        (call_command, (), {"cmd": "x"}, f"{CMD} got an unexpected keyword argument 'cmd'"),
        (call_command, ("x",), {"cmd_json": "x"}, f"{CMD} got multiple values for argument 'cmd_json'"),
        # The count check comes first, then the keywords in the order given.
        (call_command, ("a", "b"), {"zzz": 1}, f"{CMD} takes 1 positional arguments but 2 were given"),
        (call_command, (), {"b": 1, "a": 2}, f"{CMD} got an unexpected keyword argument 'b'"),
        (call_command, ("x",), {"cmd_json": "y", "a": 1},
         f"{CMD} got multiple values for argument 'cmd_json'"),
        (call_command, (), {"a": 1, "cmd_json": "y"}, f"{CMD} got an unexpected keyword argument 'a'"),
        # Binding is checked before the argument's type.
        (call_command, (None, None), {}, f"{CMD} takes 1 positional arguments but 2 were given"),
    ],
)
def test_binding_errors(call, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        call(*args, **kwargs)
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


def test_keywords_bind():
    h = Synth(spec_json="{}")
    assert h.command(cmd_json='{"cmd":"version"}') == '{"version":"0.1.4"}'


# --- text conversion ------------------------------------------------------


class Outer:
    class Inner:
        pass


class Text(str):
    pass


@pytest.mark.parametrize(
    "value, message",
    [
        (None, "'None' is not an instance of 'str'"),
        (3, "'int' object is not an instance of 'str'"),
        (b"{}", "'bytes' object is not an instance of 'str'"),
        (Outer.Inner(), "'Outer.Inner' object is not an instance of 'str'"),
    ],
)
@pytest.mark.parametrize("where", ["spec_json", "cmd_json"])
def test_conversion_type_errors(where, value, message):
    with pytest.raises(TypeError) as info:
        if where == "spec_json":
            Synth(value)
        else:
            Synth("").command(value)
    assert str(info.value) == message
    if sys.version_info >= (3, 11):
        assert info.value.__notes__ == [f"while processing '{where}'"]


@pytest.mark.parametrize("where", ["spec_json", "cmd_json"])
def test_lone_surrogate_raises_the_encoding_error(where):
    with pytest.raises(UnicodeEncodeError) as info:
        if where == "spec_json":
            Synth("\ud800")
        else:
            Synth("").command('{"cmd":"\udfff"}')
    assert "surrogates not allowed" in str(info.value)
    if sys.version_info >= (3, 11):
        assert info.value.__notes__ == [f"while processing '{where}'"]


def test_str_subclass_is_accepted():
    h = Synth(Text(json.dumps(WORKED_SPEC)))
    assert h.command(Text(cmd("version"))) == '{"version":"0.1.4"}'


class ReentrantName(type):
    """A metaclass whose __qualname__ lookup runs a command on `handle`: the
    type error for its instances re-enters the handle while it is in use."""

    handle = None
    seen = []

    def __getattribute__(cls, name):
        if name != "__qualname__":
            return super().__getattribute__(name)
        try:
            answer = ReentrantName.handle.command(cmd("version"))
        except RuntimeError as e:
            answer = f"{type(e).__name__}: {e}"
        ReentrantName.seen.append(answer)
        return "Odd"


class Odd(metaclass=ReentrantName):
    pass


def test_reentry_is_refused_while_a_command_runs():
    h = Synth("")
    ReentrantName.handle, ReentrantName.seen = h, []
    try:
        with pytest.raises(TypeError) as info:
            h.command(Odd())
        assert str(info.value) == "'Odd' object is not an instance of 'str'"
        if sys.version_info >= (3, 11):
            assert info.value.__notes__ == ["while processing 'cmd_json'"]
        assert ReentrantName.seen == ["RuntimeError: Already borrowed"]
        # The failed command let go of the handle; the constructor takes none.
        with pytest.raises(TypeError) as info:
            Synth(Odd())
        assert str(info.value) == "'Odd' object is not an instance of 'str'"
        assert ReentrantName.seen[1:] == ['{"version":"0.1.4"}']
    finally:
        ReentrantName.handle = None


def test_failed_conversion_leaves_the_handle_usable():
    h = Synth("")
    for bad in (None, 1, "\ud800"):
        with pytest.raises((TypeError, UnicodeEncodeError)):
            h.command(bad)
    # Not stuck "in use" after the failures.
    assert h.command(cmd("version")) == '{"version":"0.1.4"}'


# --- spec texts given to the constructor ----------------------------------

WHITE_SPACE = (
    "\t\n\v\f\r \u0085\u00a0\u1680"
    + "".join(chr(c) for c in range(0x2000, 0x200B))
    + "\u2028\u2029\u202f\u205f\u3000"
)


@pytest.mark.parametrize(
    "text",
    ["", " ", "\n\n", WHITE_SPACE, "{}", " {} ", "\u00a0{}\u3000", WHITE_SPACE + "{}" + WHITE_SPACE],
)
def test_texts_that_make_a_handle_without_spec(text):
    h = Synth(text)
    assert h.command(cmd("generate")) == NO_SPEC
    assert h.command(cmd("version")) == '{"version":"0.1.4"}'


@pytest.mark.parametrize("pad", ["", "  ", "\n\n", "\u00a0", "\u3000\u2028", WHITE_SPACE])
def test_padded_spec_text_is_trimmed(pad):
    plain = Synth(json.dumps(WORKED_SPEC)).command(cmd("generate"))
    assert Synth(pad + json.dumps(WORKED_SPEC) + pad).command(cmd("generate")) == plain


@pytest.mark.parametrize(
    "text, message",
    [
        ("{ }", "parse: missing field `seed` at line 1 column 3"),
        # Positions count from the first character after the trimmed space.
        ("\n\n{ }", "parse: missing field `seed` at line 1 column 3"),
        ("\u3000{ }\u00a0", "parse: missing field `seed` at line 1 column 3"),
        ('{"seed":1}', "parse: missing field `bars` at line 1 column 10"),
        ('{"a\\u0000b":1}', "parse: unknown field `a\x00b`, expected one of `seed`, `bars`, `start_price`, "
                            "`start_ts`, `bar_secs`, `regimes`, `microstructure` at line 1 column 11"),
        # Only exactly "{}" means "no spec"; anything after it makes it a spec text.
        ("{}x", "parse: missing field `seed` at line 1 column 2"),
        (" {}\n{} ", "parse: missing field `seed` at line 1 column 2"),
        (json.dumps(make_spec(bars=0)), "bad spec: bars must be > 0"),
        (json.dumps(make_spec(start_price=-1)), "bad spec: start_price must be finite and > 0"),
    ],
)
def test_refused_spec_texts(text, message):
    with pytest.raises(ValueError) as info:
        Synth(text)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "text",
    [
        "\ufeff{}",  # a byte-order mark is not white space
        "\u200b{}",  # nor is a zero-width space
        "{}\ufeff",
        # Separators that Python's str.strip() removes but that lack the
        # White_Space property, and characters that lost or never had it.
        "\x1c{}",
        "{}\x1f",
        "\u180e{}",
        "{}\u2060",
        "{}{}",
        "null",
    ],
)
def test_texts_that_are_not_white_space_padding(text):
    with pytest.raises(ValueError, match="^parse: "):
        Synth(text)


# --- threads --------------------------------------------------------------


def panic_type():
    """The PanicException class, as raised by a use from a foreign thread."""
    h = Synth("")
    with pytest.raises(BaseException) as info:
        in_thread(lambda: h.command(cmd("version")))
    return type(info.value)


def test_panic_exception_class():
    cls = panic_type()
    assert cls.__name__ == "PanicException"
    assert cls.__module__ == "pyo3_runtime"
    assert cls.__bases__ == (BaseException,)
    assert not issubclass(cls, Exception)
    assert panic_type() is cls  # one class for the process


def test_foreign_thread_panics_and_owner_goes_on():
    h = Synth(json.dumps(WORKED_SPEC))
    before = h.command(cmd("generate"))
    for text in (cmd("version"), "not json", None):  # before the argument is even looked at
        with pytest.raises(BaseException) as info:
            in_thread(lambda text=text: h.command(text))
        assert type(info.value).__name__ == "PanicException"
        message = str(info.value)
        assert "_talpen_synth::PySynth is unsendable, but sent to another thread" in message
    assert h.command(cmd("generate")) == before


def test_panic_message_names_both_threads():
    h = Synth("")
    messages = []
    for _ in range(2):
        try:
            in_thread(lambda: h.command(cmd("version")))
        except BaseException as e:  # noqa: BLE001
            messages.append(str(e))
    # Each new thread gets a new identifier; the owner's stays the same.
    (caller1, owner1), (caller2, owner2) = [re.findall(r"\d+", m) for m in messages]
    assert owner1 == owner2 and caller1 != caller2 and owner1 not in (caller1, caller2)


def test_binding_errors_come_before_the_thread_check():
    h = Synth("")
    with pytest.raises(TypeError, match="missing 1 required"):
        in_thread(lambda: h.command())


def test_version_has_no_thread_check():
    h = Synth("")
    assert in_thread(lambda: h.version()) == "0.1.4"


class Unraisable:
    """Collects what reaches sys.unraisablehook while active. The cycle
    collector is off meanwhile: it runs on whichever thread happens to
    allocate, and would otherwise drop earlier tests' handles (held in cycles
    through caught exceptions) on the threads started here."""

    def __enter__(self):
        gc.collect()
        self._gc_was_enabled = gc.isenabled()
        gc.disable()
        self.seen = []
        self._saved = sys.unraisablehook
        sys.unraisablehook = lambda u: self.seen.append((u.exc_type, str(u.exc_value), u.object))
        return self

    def __exit__(self, *exc):
        sys.unraisablehook = self._saved
        if self._gc_was_enabled:
            gc.enable()


DROPPED = "_talpen_synth::PySynth is unsendable, but is being dropped on another thread"


def test_handle_made_on_another_thread_belongs_to_it():
    def make_and_use():
        h = Synth(json.dumps(WORKED_SPEC))
        return [h], h.command(cmd("version"))

    with Unraisable() as hook:
        box, answer = in_thread(make_and_use)
        assert answer == '{"version":"0.1.4"}'
        with pytest.raises(BaseException) as info:
            box[0].command(cmd("version"))
        assert type(info.value).__name__ == "PanicException"
        box.clear()  # dropped here, on a thread that does not own it
    assert hook.seen == [(RuntimeError, DROPPED, None)]


def test_drop_on_the_owning_thread_is_silent():
    with Unraisable() as hook:
        h = Synth(json.dumps(WORKED_SPEC))
        h.command(cmd("generate"))
        del h
        in_thread(lambda: Synth(json.dumps(WORKED_SPEC)).command(cmd("version")))
    assert hook.seen == []


def test_drop_on_a_foreign_thread_keeps_a_pending_error():
    box = in_thread(lambda: [Synth(json.dumps(WORKED_SPEC))])

    # list.sort releases the keys it has computed while the key function's
    # error is pending, so the handle is dropped in the middle of an error.
    def key(i):
        if i == 0:
            return box.pop()
        raise ZeroDivisionError("from the key")

    with Unraisable() as hook:
        with pytest.raises(ZeroDivisionError, match="from the key"):
            [0, 1].sort(key=key)
    assert hook.seen == [(RuntimeError, DROPPED, None)]
