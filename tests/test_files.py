import base64
import binascii
import inspect
import types

import pytest

import velkor_models.utils.files as files
from velkor_models.utils.files import convert_data_to_base64


def test_import_order(assert_import_order):
    assert_import_order("velkor_models.utils.files", [("base64", None), ("typing", "Any")])


def test_signature_annotations_and_docstring():
    f = convert_data_to_base64
    assert f.__annotations__ == {"file_data": "Any", "return": "bytes"}
    assert str(inspect.signature(f)) == "(file_data: 'Any') -> 'bytes'"
    doc = inspect.cleandoc(f.__doc__)
    assert doc.splitlines()[0] == "Converts the given file data to a base64-encoded bytes object."
    args = "file_data (Any): The file data to be converted. It can be a string or bytes."
    assert f"Args:\n    {args}" in doc
    assert "Returns:\n    bytes: The base64-encoded bytes object." in doc


class Text(str):
    def encode(self, encoding=None, errors=None):
        return b"encode(%r, %r)" % (encoding, errors)


@pytest.mark.parametrize(
    "data, expected",
    [
        ("hello", b"aGVsbG8="),
        (b"hello", b"aGVsbG8="),
        ("aGVsbG8=", b"aGVsbG8="),
        ("", b""),
        (b"", b""),
        ("héllo ✓", base64.b64encode("héllo ✓".encode("utf-8"))),
        (Text("x"), base64.b64encode(b"encode(None, None)")),
        (bytearray(b"hello"), b"aGVsbG8="),
        (memoryview(b"hi"), b"aGk="),
        # not canonical base64, so encoded as a whole
        (b"aGVsbG8=\n", base64.b64encode(b"aGVsbG8=\n")),
        (b" aGVsbG8=", base64.b64encode(b" aGVsbG8=")),
        (b"aGVsbG8", base64.b64encode(b"aGVsbG8")),
        (b"aGVsbG9=", base64.b64encode(b"aGVsbG9=")),
        (b"aGVsbG8=aGk=", base64.b64encode(b"aGVsbG8=aGk=")),
        ("a-b_", base64.b64encode(b"a-b_")),
    ],
)
def test_data_is_encoded_once(data, expected):
    result = convert_data_to_base64(data)
    assert type(result) is bytes and result == expected


@pytest.mark.parametrize("data", [b"aGVsbG8=", b"abcd", b"AAAA", b"/+/+", b"aGk="])
def test_canonical_base64_bytes_come_back_as_the_same_object(data):
    assert convert_data_to_base64(data) is data


@pytest.mark.parametrize(
    "data, message, in_handler",
    [
        (None, "a bytes-like object is required, not 'NoneType'", True),
        (5, "a bytes-like object is required, not 'int'", True),
        ([b"a"], "a bytes-like object is required, not 'list'", True),
        (bytearray(b"aGVsbG8="), "Expected bytes, got bytearray", False),
        (memoryview(b"abcd"), "Expected bytes, got memoryview", False),
    ],
)
def test_type_errors(data, message, in_handler):
    with pytest.raises(TypeError) as info:
        convert_data_to_base64(data)
    assert str(info.value) == message
    # The second encoding runs while the decoding error is being handled.
    assert (type(info.value.__context__) is TypeError) is in_handler


def test_text_that_cannot_be_utf8_fails_before_the_guard():
    with pytest.raises(UnicodeEncodeError) as info:
        convert_data_to_base64("\ud800")
    assert info.value.__context__ is None


class Recorder:
    """A base64 stand-in that logs its calls and delegates to the real module."""

    def __init__(self, decode_error=None):
        self.calls = []
        self.decode_error = decode_error

    def b64decode(self, *args, **kwargs):
        self.calls.append(("b64decode", args, kwargs))
        if self.decode_error is not None:
            raise self.decode_error
        return base64.b64decode(*args, **kwargs)

    def b64encode(self, *args, **kwargs):
        self.calls.append(("b64encode", args, kwargs))
        return base64.b64encode(*args, **kwargs)


@pytest.mark.parametrize(
    "data, calls",
    [
        (
            b"aGk=",
            [("b64decode", (b"aGk=",), {"validate": True}), ("b64encode", (b"hi",), {})],
        ),
        (
            b"hi",
            [("b64decode", (b"hi",), {"validate": True}), ("b64encode", (b"hi",), {})],
        ),
        (
            b"aGVsbG9=",
            [
                ("b64decode", (b"aGVsbG9=",), {"validate": True}),
                ("b64encode", (b"hello",), {}),
                ("b64encode", (b"aGVsbG9=",), {}),
            ],
        ),
    ],
)
def test_base64_global_is_looked_up_at_each_call(monkeypatch, data, calls):
    fake = Recorder()
    monkeypatch.setattr(files, "base64", fake)
    convert_data_to_base64(data)
    assert fake.calls == calls


def test_only_exceptions_are_caught(monkeypatch):
    monkeypatch.setattr(files, "base64", Recorder(decode_error=binascii.Error("bad")))
    assert convert_data_to_base64(b"aGk=") == b"YUdrPQ=="
    monkeypatch.setattr(files, "base64", Recorder(decode_error=KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        convert_data_to_base64(b"aGk=")


def test_result_type_is_enforced(monkeypatch):
    fake = types.SimpleNamespace(b64decode=base64.b64decode, b64encode=lambda data: "text")
    monkeypatch.setattr(files, "base64", fake)
    with pytest.raises(TypeError) as info:
        convert_data_to_base64(b"hi")
    assert str(info.value) == "Expected bytes, got str"
    fake.b64encode = lambda data: None
    assert convert_data_to_base64(b"hi") is None


NAME = "convert_data_to_base64()"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, f"{NAME} takes exactly 1 positional argument (0 given)"),
        ((b"a", b"b"), {}, f"{NAME} takes exactly 1 positional argument (2 given)"),
        ((), {"data": b"a"}, f"{NAME} takes exactly 1 positional argument (0 given)"),
    ],
)
def test_call_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        convert_data_to_base64(*args, **kwargs)
    assert str(info.value) == message
    assert convert_data_to_base64(file_data="hi") == b"aGk="


@pytest.mark.leakcheck
def test_no_leak(no_leak):
    def refuse():
        with pytest.raises(TypeError):
            convert_data_to_base64(None)

    no_leak(lambda: convert_data_to_base64("hello"))
    no_leak(lambda: convert_data_to_base64(b"aGVsbG8="))
    no_leak(refuse)
