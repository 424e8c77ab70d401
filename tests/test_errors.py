"""Error values, PanicException and the call guards, through _veltra_testing.

The test module links the same error machinery as veltra_native but has its
own copy of every process-wide item, so the PanicException class seen here is
the test module's own.
"""

import re
import sys

import pytest

import _veltra_testing as testing
from conftest import HERE, failure

REPORT = re.compile(r"thread '<unnamed>' panicked at ([^\n]+):(\d+):(\d+):\n")
BANNER_END = "Python stack trace below:\n"
UNWRAPPED = "Unwrapped panic from Python code"


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


@pytest.mark.parametrize("message", ["", "two\nlines", "Grüße ✓ \u00e9"], ids=["empty", "lines", "unicode"])
def test_panic_message_and_report_of_the_failing_check(capfd, panic_type, message):
    site = next(
        number
        for number, text in enumerate((HERE / "native" / "module" / "errors_hooks.cpp").read_text().splitlines(), 1)
        if "panic-site" in text
    )
    capfd.readouterr()
    with pytest.raises(panic_type) as info:
        testing.panic(message)
    assert info.value.args == (message,)
    err = capfd.readouterr().err
    match = REPORT.match(err)
    # Relative to the project, whatever directory it was built in.
    assert match.groups()[:2] == ("tests/native/module/errors_hooks.cpp", str(site)) and int(match[3]) >= 1
    assert err == match.group(0) + message + "\n"


def test_fetched_panic_is_resumed_with_its_message(capfd, panic_type):
    def raise_through_python():
        testing.panic("from below")

    capfd.readouterr()
    assert failure(testing.call_and_fetch, raise_through_python) == ("PanicException", "from below")
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
    assert failure(testing.call_and_fetch, raise_unprintable) == ("PanicException", UNWRAPPED)
    # From 3.12 on the interpreter makes the exception object at once, so a
    # panic raised without a value comes back as one whose text is empty.
    bare = "" if sys.version_info >= (3, 12) else UNWRAPPED
    assert failure(testing.set_none_and_fetch, panic_type) == ("PanicException", bare)
    err = capfd.readouterr().err
    assert err.count(BANNER_END) == 2
    assert not REPORT.findall(err)


def test_fetched_ordinary_error_is_raised_unchanged_and_nothing_pending_is_none():
    original = ValueError("as it was")

    def raise_it():
        raise original

    with pytest.raises(ValueError) as info:
        testing.call_and_fetch(raise_it)
    assert info.value is original
    assert testing.fetch_pending() is None
    assert failure(testing.fetch_or_system_error) == ("SystemError", "attempted to fetch exception but none was set")


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
        (testing.repr_of, SurrogateText(), "r\ufffd\ufffd\ufffd"),
    ],
)
def test_text_and_repr(render, obj, text):
    assert render(obj) == text


@pytest.mark.parametrize("render, word", [(testing.text_of, "text"), (testing.repr_of, "repr")])
def test_unprintable_object(unraisable, render, word):
    obj = Unprintable()
    assert render(obj) == "<unprintable Unprintable object>"
    assert [(u.exc_type, str(u.exc_value), u.object) for u in unraisable] == [(RuntimeError, f"no {word}", obj)]


def test_debug_form():
    def raise_value_error():
        raise ValueError("x")

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


@pytest.mark.parametrize(
    "exc_type, raised",
    [
        (ValueError, ("ValueError", "message")),
        (CustomBase, ("CustomBase", "message")),
        (int, ("TypeError", "exceptions must derive from BaseException")),
        (ValueError("instance"), ("TypeError", "exceptions must derive from BaseException")),
    ],
)
def test_lazy_error(exc_type, raised):
    handled = KeyError("being handled")
    try:
        raise handled
    except KeyError:
        with pytest.raises(BaseException) as info:
            testing.raise_lazy(exc_type, "message")
    assert (type(info.value).__name__, str(info.value)) == raised
    # The exception being handled becomes the context.
    assert info.value.__context__ is handled
    if raised[0] == "TypeError":
        assert testing.debug_lazy(exc_type, "message") == (
            f"PyErr {{ type: <class 'TypeError'>, value: TypeError('{raised[1]}'), traceback: None }}"
        )


def test_dealloc_guard_reports_to_the_unraisable_hook(capfd, unraisable, panic_type):
    capfd.readouterr()
    assert testing.dealloc_panic("in dealloc") is None
    assert [(u.exc_type, u.exc_value.args, u.object) for u in unraisable] == [(panic_type, ("in dealloc",), None)]
    assert REPORT.findall(capfd.readouterr().err)


@pytest.mark.parametrize(
    "call, message",
    [(lambda: testing.throw_runtime_error("not a panic"), "not a panic"), (testing.throw_non_exception, None)],
)
def test_other_cpp_exceptions_become_panics(capfd, panic_type, call, message):
    capfd.readouterr()
    with pytest.raises(panic_type) as info:
        call()
    (text,) = info.value.args
    assert message in (None, text)
    # Nothing reported them where they were thrown, so the guard does.
    err = capfd.readouterr().err
    assert len(REPORT.findall(err)) == 1
    assert err.endswith(":\n" + text + "\n")


@pytest.mark.parametrize("size", [0, 2**64 - 1])
def test_alloc_failure_becomes_memory_error(size):
    assert failure(testing.throw_alloc_failure, size) == ("MemoryError", f"memory allocation of {size} bytes failed")
    assert failure(testing.throw_bad_alloc)[0] == "MemoryError"


def test_constructor_failure_prints_the_error_then_panics(capfd, panic_type):
    capfd.readouterr()
    assert failure(testing.constructor_failure, "no tuple today") == ("PanicException", "Python API call failed")
    err = capfd.readouterr().err
    assert err.index("ValueError: no tuple today\n") < err.index("panicked at")
    assert err.endswith(":\nPython API call failed\n")


@pytest.mark.parametrize("raw, text", [(b"bad \xff byte", "bad \ufffd byte"), (b"\xed\xa0\x80", "\ufffd" * 3)])
def test_message_that_is_not_utf8_is_raised_lossily(panics, raw, text):
    for call in (testing.panic, testing.throw_runtime_error):
        assert failure(call, raw) == ("PanicException", text)
    assert failure(testing.raise_lazy, ValueError, raw) == ("ValueError", text)
    assert panics.take() == [text, text]
