"""Error values, PanicException and the call guards, through _veltra_testing.

The test module links the same error machinery as veltra_native but has its
own copy of every process-wide item, so the PanicException class seen here is
the test module's own.
"""

import re
import sys
from pathlib import Path

import pytest

import _veltra_testing as testing

HOOKS_SOURCE = Path(__file__).parent / "native" / "module" / "errors_hooks.cpp"
REPORT = re.compile(r"thread '<unnamed>' panicked at ([^\n]+):(\d+):(\d+):\n")
BANNER_END = "Python stack trace below:\n"


@pytest.fixture(scope="module")
def panic_type(panic_block):
    with panic_block() as reports:
        try:
            testing.panic("probe")
        except BaseException as error:
            caught = error
    assert reports == ["probe"]
    return type(caught)


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")

    def __repr__(self):
        raise RuntimeError("no repr")


def test_panic_exception_class(panic_type):
    assert panic_type.__name__ == panic_type.__qualname__ == "PanicException"
    assert panic_type.__module__ == "pyo3_runtime"
    assert panic_type.__bases__ == (BaseException,)
    doc = panic_type.__doc__
    assert doc.startswith("\n") and doc.endswith("\n")
    assert doc.count("\n") == 5
    assert "BaseException" in doc


@pytest.mark.parametrize(
    "message",
    ["", "two\nlines", "Grüße ✓ \u00e9"],
    ids=["empty", "lines", "unicode"],
)
def test_panic_message_and_report(capfd, panic_type, message):
    capfd.readouterr()
    with pytest.raises(panic_type) as info:
        testing.panic(message)
    assert info.value.args == (message,)
    assert str(info.value) == message
    err = capfd.readouterr().err
    match = REPORT.fullmatch(err[: err.index(":\n") + 2])
    assert match, err
    assert err == match.group(0) + message + "\n"


def test_report_names_the_failing_check(capfd):
    line = next(
        number for number, text in enumerate(HOOKS_SOURCE.read_text().splitlines(), 1) if "panic-site" in text
    )
    capfd.readouterr()
    with pytest.raises(BaseException):
        testing.panic("located")
    (file, reported_line, column), = REPORT.findall(capfd.readouterr().err)
    # Relative to the project, whatever directory it was built in.
    assert file == "tests/native/module/errors_hooks.cpp"
    assert int(reported_line) == line
    assert int(column) >= 1


def raise_through_python():
    testing.panic("from below")


def test_fetched_panic_is_resumed_with_its_message(capfd, panic_type):
    capfd.readouterr()
    with pytest.raises(panic_type) as info:
        testing.call_and_fetch(raise_through_python)
    assert info.value.args == ("from below",)
    err = capfd.readouterr().err
    # One report, from where the panic began; the resumption adds none.
    assert len(REPORT.findall(err)) == 1
    banner_end = err.index(BANNER_END)
    assert err.index("panicked at") < banner_end
    traceback = err[banner_end + len(BANNER_END) :]
    assert traceback.startswith("Traceback (most recent call last):\n")
    assert "in raise_through_python" in traceback
    assert traceback.endswith("pyo3_runtime.PanicException: from below\n")


def test_fetched_panic_without_a_printable_message(capfd, panic_type):
    def raise_unprintable():
        raise panic_type(Unprintable())

    capfd.readouterr()
    with pytest.raises(panic_type) as info:
        testing.call_and_fetch(raise_unprintable)
    assert info.value.args == ("Unwrapped panic from Python code",)
    with pytest.raises(panic_type) as info:
        testing.set_none_and_fetch(panic_type)
    # From 3.12 on the interpreter makes the exception object at once, so a
    # panic raised without a value comes back as one whose text is empty.
    bare = "" if sys.version_info >= (3, 12) else "Unwrapped panic from Python code"
    assert info.value.args == (bare,)
    err = capfd.readouterr().err
    assert err.count(BANNER_END) == 2
    assert not REPORT.findall(err)


def test_fetched_ordinary_error_is_raised_unchanged():
    original = ValueError("as it was")

    def raise_it():
        raise original

    with pytest.raises(ValueError) as info:
        testing.call_and_fetch(raise_it)
    assert info.value is original


def test_fetch_with_nothing_pending():
    assert testing.fetch_pending() is None
    with pytest.raises(SystemError) as info:
        testing.fetch_or_system_error()
    assert str(info.value) == "attempted to fetch exception but none was set"


class SurrogateText:
    def __str__(self):
        return "x\udcffy"

    def __repr__(self):
        return "r\ud800"


@pytest.mark.parametrize(
    "render, obj, text",
    [
        (testing.text_of, 42, "42"),
        # Each byte of the surrogate's encoding becomes one U+FFFD.
        (testing.text_of, "a\ud800b", "a\ufffd\ufffd\ufffdb"),
        (testing.text_of, SurrogateText(), "x\ufffd\ufffd\ufffdy"),
        (testing.repr_of, "q", "'q'"),
        (testing.repr_of, SurrogateText(), "r\ufffd\ufffd\ufffd"),
    ],
)
def test_text_and_repr(render, obj, text):
    assert render(obj) == text


@pytest.mark.parametrize("render, word", [(testing.text_of, "text"), (testing.repr_of, "repr")])
def test_unprintable_object(unraisable, render, word):
    obj = Unprintable()
    assert render(obj) == "<unprintable Unprintable object>"
    assert len(unraisable) == 1
    assert unraisable[0].exc_type is RuntimeError
    assert str(unraisable[0].exc_value) == f"no {word}"
    assert unraisable[0].object is obj


def raise_value_error():
    raise ValueError("x")


def test_debug_form():
    assert testing.debug_lazy(ValueError, "x") == (
        "PyErr { type: <class 'ValueError'>, value: ValueError('x'), traceback: None }"
    )
    assert re.fullmatch(
        r"PyErr \{ type: <class 'ValueError'>, value: ValueError\('x'\), "
        r"traceback: Some\(<traceback object at 0x[0-9a-f]+>\) \}",
        testing.debug_of_call(raise_value_error),
    )
    # Formed on a thread that has to take the interpreter lock itself.
    assert testing.debug_off_thread(KeyError, "k") == (
        "PyErr { type: <class 'KeyError'>, value: KeyError('k'), traceback: None }"
    )


class CustomBase(BaseException):
    pass


@pytest.mark.parametrize("exc_type", [ValueError, CustomBase])
def test_lazy_error_of_an_exception_class(exc_type):
    with pytest.raises(exc_type) as info:
        testing.raise_lazy(exc_type, "message")
    assert type(info.value) is exc_type
    assert info.value.args == ("message",)


@pytest.mark.parametrize("not_a_class", [int, "ValueError", ValueError("instance")])
def test_lazy_error_of_something_else(not_a_class):
    with pytest.raises(TypeError) as info:
        testing.raise_lazy(not_a_class, "message")
    assert str(info.value) == "exceptions must derive from BaseException"
    assert testing.debug_lazy(not_a_class, "message") == (
        "PyErr { type: <class 'TypeError'>, "
        "value: TypeError('exceptions must derive from BaseException'), traceback: None }"
    )


def test_lazy_error_takes_the_handled_exception_as_context():
    handled = KeyError("being handled")
    try:
        raise handled
    except KeyError:
        with pytest.raises(ValueError) as info:
            testing.raise_lazy(ValueError, "new")
    assert info.value.__context__ is handled


def test_dealloc_guard_reports_to_the_unraisable_hook(capfd, unraisable, panic_type):
    capfd.readouterr()
    assert testing.dealloc_panic("in dealloc") is None
    assert len(unraisable) == 1
    assert unraisable[0].exc_type is panic_type
    assert unraisable[0].exc_value.args == ("in dealloc",)
    assert unraisable[0].object is None
    assert REPORT.findall(capfd.readouterr().err)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: testing.throw_runtime_error("not a panic"), "not a panic"),
        (testing.throw_non_exception, None),
    ],
)
def test_other_cpp_exceptions_become_panics(capfd, panic_type, call, message):
    capfd.readouterr()
    with pytest.raises(panic_type) as info:
        call()
    (text,) = info.value.args
    if message is not None:
        assert text == message
    # Nothing reported them where they were thrown, so the guard does.
    err = capfd.readouterr().err
    assert len(REPORT.findall(err)) == 1
    assert err.endswith(":\n" + text + "\n")


@pytest.mark.parametrize("size", [0, 2**64 - 1])
def test_alloc_failure_becomes_memory_error(size):
    with pytest.raises(MemoryError) as info:
        testing.throw_alloc_failure(size)
    assert str(info.value) == f"memory allocation of {size} bytes failed"
    with pytest.raises(MemoryError):
        testing.throw_bad_alloc()


def test_constructor_failure_prints_the_error_then_panics(capfd, panic_type):
    capfd.readouterr()
    with pytest.raises(panic_type) as info:
        testing.constructor_failure("no tuple today")
    assert info.value.args == ("Python API call failed",)
    err = capfd.readouterr().err
    assert err.index("ValueError: no tuple today\n") < err.index("panicked at")
    assert err.endswith(":\nPython API call failed\n")


@pytest.mark.parametrize(
    "raw, text",
    [(b"bad \xff byte", "bad \ufffd byte"), (b"\xed\xa0\x80", "\ufffd" * 3)],
)
def test_message_that_is_not_utf8_is_raised_lossily(panics, panic_type, raw, text):
    for call in (testing.panic, testing.throw_runtime_error):
        with pytest.raises(panic_type) as info:
            call(raw)
        assert info.value.args == (text,)
    with pytest.raises(ValueError) as info:
        testing.raise_lazy(ValueError, raw)
    assert info.value.args == (text,)
    assert panics.take() == [text, text]
