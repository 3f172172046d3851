"""The call boundary, driven through the test-only module _quelvane_hooks.

That module links its own copy of the boundary, so its exception classes carry the same names as
quelvane's but are other objects: these tests compare classes by name.
"""
import gc
import subprocess
import sys
import threading
import types
import weakref

import pytest


@pytest.fixture
def probe(hooks):
    return hooks.Probe.make(5)


def raised(fn, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    return info.value


# --- argument matching (fast-call form) ------------------------------------------------------

@pytest.mark.parametrize("method,args,kwargs,message", [
    ("two", (1, 2, 3), {}, "Probe.two() takes 2 positional arguments but 3 were given"),
    ("ranged", (1, 2, 3, 4), {}, "Probe.ranged() takes from 1 to 3 positional arguments but 4 were given"),
    ("keywords", (1, 2), {}, "Probe.keywords() takes 1 positional arguments but 2 were given"),
    ("two", (), {}, "Probe.two() missing 2 required positional arguments: 'a' and 'b'"),
    ("three", (), {}, "Probe.three() missing 3 required positional arguments: 'x', 'y', and 'z'"),
    ("three", (1, 2), {}, "Probe.three() missing 1 required positional argument: 'z'"),
    ("three", (1,), {"z": 3}, "Probe.three() missing 1 required positional argument: 'y'"),
    ("ranged", (), {"b": 1}, "Probe.ranged() missing 1 required positional argument: 'a'"),
    ("two", (1,), {"a": 2}, "Probe.two() got multiple values for argument 'a'"),
    ("two", (1,), {"q": 2}, "Probe.two() got an unexpected keyword argument 'q'"),
    ("two", (1,), {"B": 2}, "Probe.two() got an unexpected keyword argument 'B'"),
    ("keywords", (1,), {"a": 1}, "Probe.keywords() got multiple values for argument 'a'"),
    # The count is checked before any keyword.
    ("two", (1, 2, 3), {"q": 1}, "Probe.two() takes 2 positional arguments but 3 were given"),
])
def test_matching_errors(probe, method, args, kwargs, message):
    err = raised(getattr(probe, method), *args, **kwargs)
    assert type(err) is TypeError and str(err) == message


@pytest.mark.parametrize("method,args,kwargs,slots", [
    ("two", (1,), {"b": 2}, [1, 2]),
    ("two", (), {"b": 2, "a": 1}, [1, 2]),
    ("ranged", (1,), {"c": 3}, [1, None, 3]),
    ("keywords", (), {"m": 3, "a": 1}, [1, None, 3]),
    ("keywords", (1,), {"k": 2, "m": 3}, [1, 2, 3]),
])
def test_matching_fills_slots(probe, method, args, kwargs, slots):
    assert getattr(probe, method)(*args, **kwargs) == slots


# --- conversions -----------------------------------------------------------------------------

class Index:
    def __index__(self):
        return 200


@pytest.mark.parametrize("method,value,expected", [
    ("i64", -1, -1), ("i64", -2**63, -2**63), ("i64", 2**63 - 1, 2**63 - 1), ("i64", True, 1), ("i64", Index(), 200),
    ("u64", 0, 0), ("u64", 2**64 - 1, 2**64 - 1), ("u64", Index(), 200),
    ("u8", 255, 255), ("u8", Index(), 200), ("u16", 65535, 65535),
    ("boolean", True, True), ("boolean", False, False),
    ("text", "h\u00e9", "h\u00e9"), ("text", type("S", (str,), {})("sub"), "sub"),
    ("data", b"\x00\xff", b"\x00\xff"), ("data", bytearray(b"ab"), b"ab"), ("data", [0, 1, 255], b"\x00\x01\xff"),
    ("data", (7,), b"\x07"), ("data", memoryview(b"mv"), b"mv"), ("data", range(3), b"\x00\x01\x02"),
    ("data", b"", b""),
    ("optional_u64", None, None), ("optional_u64", 3, 3),
    ("omitted", True, "true"),
])
def test_conversions_accept(probe, method, value, expected):
    assert getattr(probe, method)(value) == expected


def test_absent_optional_and_omittable(probe):
    assert probe.optional_u64() is None
    assert probe.omitted() == "omitted"


def test_class_and_any_arguments(hooks, probe):
    assert probe.probe(hooks.Probe.make(9)) == 9
    marker = object()
    assert probe.any(marker) is marker


@pytest.mark.parametrize("method,value,exc,message", [
    ("i64", 1.5, TypeError, "argument 'value': 'float' object cannot be interpreted as an integer"),
    ("i64", 2**63, OverflowError, "Python int too large to convert to C long"),
    ("i64", None, TypeError, "argument 'value': 'NoneType' object cannot be interpreted as an integer"),
    ("u64", -1, OverflowError, "can't convert negative int to unsigned"),
    ("u64", 2**64, OverflowError, "int too big to convert"),
    ("u64", 1.0, TypeError, "argument 'value': 'float' object cannot be interpreted as an integer"),
    ("u8", 256, OverflowError, "out of range integral type conversion attempted"),
    ("u8", -1, OverflowError, "out of range integral type conversion attempted"),
    ("u16", 65536, OverflowError, "out of range integral type conversion attempted"),
    ("boolean", 1, TypeError, "argument 'value': 'int' object cannot be converted to 'bool'"),
    ("boolean", None, TypeError, "argument 'value': 'None' is not an instance of 'bool'"),
    ("text", b"x", TypeError, "argument 'value': 'bytes' object cannot be converted to 'str'"),
    ("text", None, TypeError, "argument 'value': 'None' is not an instance of 'str'"),
    ("data", "x", TypeError, "argument 'value': Can't extract `str` to `Vec`"),
    ("data", 5, TypeError, "argument 'value': 'int' object cannot be converted to 'Sequence'"),
    ("data", None, TypeError, "argument 'value': 'None' is not an instance of 'Sequence'"),
    ("data", {1: 2}, TypeError, "argument 'value': 'dict' object cannot be converted to 'Sequence'"),
    ("data", [1, 256], OverflowError, "out of range integral type conversion attempted"),
    ("data", ["a"], TypeError, "argument 'value': 'str' object cannot be interpreted as an integer"),
    ("probe", 1, TypeError, "argument 'value': 'int' object cannot be converted to 'Probe'"),
    ("probe", None, TypeError, "argument 'value': 'None' is not an instance of 'Probe'"),
    ("optional_u64", -1, OverflowError, "can't convert negative int to unsigned"),
    ("omitted", None, TypeError, "argument 'value': 'None' is not an instance of 'bool'"),
])
def test_conversions_refuse(probe, method, value, exc, message):
    err = raised(getattr(probe, method), value)
    assert type(err) is exc and str(err) == message


def test_str_that_cannot_be_encoded(probe):
    assert type(raised(probe.text, "\udc80")) is UnicodeEncodeError


def test_result_sequence(hooks):
    assert hooks.Probe.int_list(4) == [0, 1, 4, 9]
    assert hooks.Probe.int_list(0) == []


# --- borrows ---------------------------------------------------------------------------------

def test_borrow_conflicts(probe):
    # Inside an exclusive borrow every other borrow is refused; shared borrows coexist.
    assert str(probe.exclusive(lambda: raised(lambda: probe.value))) == "Already mutably borrowed"
    assert str(probe.exclusive(lambda: raised(probe.two, 1, 2))) == "Already mutably borrowed"
    assert str(probe.exclusive(lambda: raised(probe.exclusive, lambda: 1))) == "Already borrowed"
    assert str(probe.shared(lambda: raised(probe.exclusive, lambda: 1))) == "Already borrowed"
    assert probe.shared(lambda: (probe.value, probe.two(1, 2))) == (5, [1, 2])
    # All released afterwards, on the failing paths too.
    assert probe.exclusive(lambda: probe.value if False else 7) == 7
    assert type(probe.exclusive(lambda: raised(probe.exclusive, lambda: 1))) is RuntimeError


def test_callback_error_passes_through_and_releases(probe):
    def fail():
        raise KeyError("cb")

    assert type(raised(probe.exclusive, fail)) is KeyError
    assert probe.exclusive(lambda: 1) == 1


def test_borrow_is_taken_before_converting(probe):
    class Reenter:
        def __index__(self):
            return probe.value

    err = raised(probe.exclusive_u64, Reenter())
    assert type(err) is RuntimeError and str(err) == "Already mutably borrowed"


# --- objects and classes ---------------------------------------------------------------------

def test_class_shape(hooks):
    cls = hooks.Probe
    assert cls.__module__ == "builtins" and cls.__qualname__ == "Probe"
    assert cls.__doc__ == "A probe of the call boundary."
    assert str(raised(cls)) == "cannot create 'builtins.Probe' instances"
    assert str(raised(type, "Sub", (cls,), {})) == "type 'builtins.Probe' is not an acceptable base type"
    a, b = cls.make(1), cls.make(1)
    assert a is not b and a != b and not gc.is_tracked(a)
    assert cls.two.__text_signature__ == "($self, a, b)" and cls.two.__doc__ is None


def test_objects_are_freed(hooks):
    cls = hooks.Probe
    make = cls.make  # its binding holds a class reference of its own
    before = sys.getrefcount(cls)
    objs = [make(i) for i in range(100)]
    # Each object holds one reference to its heap class, dropped when it is freed. (Counted
    # outside the asserts, whose rewriting keeps temporaries.)
    with_objects = sys.getrefcount(cls)
    del objs
    after = sys.getrefcount(cls)
    assert (with_objects - before, after - before) == (100, 0)


def test_register_into_creates_and_extends_all(hooks):
    fresh = types.ModuleType("fresh")
    hooks.Probe.register_into(fresh)
    assert fresh.__all__ == ["Probe"] and fresh.Probe is hooks.Probe
    listed = types.ModuleType("listed")
    listed.__all__ = ["x"]
    hooks.Probe.register_into(listed)
    assert listed.__all__ == ["x", "Probe"]


@pytest.mark.parametrize("value,message", [
    (("x",), "'tuple' object cannot be converted to 'list'"),
    (None, "'None' is not an instance of 'list'"),
])
def test_register_into_refuses_non_list_all(hooks, value, message):
    module = types.ModuleType("odd")
    module.__all__ = value
    err = raised(hooks.Probe.register_into, module)
    assert type(err) is TypeError and str(err) == message
    assert not hasattr(module, "Probe")


# --- raising ---------------------------------------------------------------------------------

KINDS = [
    ("QvanIoError", "I/O error: m"),
    ("QvanInvalidDataError", 'invalid file magic: expected b"QVAN"'),
    ("QvanInvalidDataError", "unsupported version: 7"),
    ("QvanMmapError", "mmap error: m"),
    ("QvanCompressionError", "compression error: m"),
    ("QvanDecompressionError", "decompression error: m"),
    ("QvanInvalidDataError", "invalid data: m"),
    ("QvanNotFoundError", "not found: m"),
    ("QvanExpiredError", "expired: m"),
    ("QvanAlreadyExistsError", "already exists: m"),
    ("QvanSegmentFullError", "segment full (expansion needed)"),
    ("QvanQueueAlreadyOpenError", "queue already open: m"),
    ("QvanQueueNotOpenError", "queue not open: m"),
    ("QvanConsumerGroupNotFoundError", "consumer group not found: m"),
    ("QvanConsumerGroupExistsError", "consumer group already exists: m"),
    ("QvanQueueClosedError", "queue closed: m"),
    ("QvanPendingFullError", "pending entries full: m"),
]


@pytest.mark.parametrize("kind", range(17))
def test_error_kind_to_class(hooks, kind):
    name, text = KINDS[kind]
    err = raised(hooks.Probe.raise_kind, kind, "m")
    cls = type(err)
    assert (cls.__name__, cls.__module__) == (name, "quelvane")
    assert [c.__name__ for c in cls.__mro__[1:]] == ["QvanError", "Exception", "BaseException", "object"]
    assert str(err) == text and err.args == (text,)


def test_os_error_text(hooks):
    err = raised(hooks.Probe.raise_kind, 99, "")
    assert str(err) == "I/O error: No such file or directory (os error 2)"


def test_lossy_messages(hooks):
    err = raised(hooks.Probe.raise_lossy)
    assert type(err) is ValueError and str(err) == "bad \ufffd byte"
    err = raised(hooks.Probe.raise_kind, 6, "\udcff")  # its UTF-8 encoding fails first
    assert type(err) is UnicodeEncodeError


def test_pending_class_that_is_not_an_exception(hooks):
    err = raised(hooks.Probe.raise_not_exception)
    assert type(err) is TypeError and str(err) == "exceptions must derive from BaseException"


@pytest.mark.parametrize("call,message", [
    (lambda P: P.panic("boom"), "boom"),
    (lambda P: P.panic(""), "internal failure in quelvane (no further detail)"),
    (lambda P: P.panic_foreign(), "internal failure in quelvane (no further detail)"),
])
def test_internal_failure_is_panic_exception(hooks, call, message):
    try:
        call(hooks.Probe)
    except Exception:  # noqa: BLE001 - must not catch it
        pytest.fail("PanicException was caught by `except Exception`")
    except BaseException as e:  # noqa: BLE001
        err = e
    cls = type(err)
    assert (cls.__name__, cls.__qualname__, cls.__module__) == ("PanicException",) * 2 + ("quelvane",)
    assert cls.__bases__ == (BaseException,) and cls.__doc__
    assert err.args == (message,)
    assert not hasattr(hooks, "PanicException")
    # One class for the whole process.
    assert type(raised(hooks.Probe.panic, "again")) is cls


def test_class_creation_failure_names_only_the_class(hooks):
    err = raised(hooks.Probe.use_broken_class)
    assert type(err).__name__ == "PanicException"
    assert err.args == ("failed to create type object for `Broken`",)
    assert hooks.Probe.make(1).value == 1  # nothing was left set


# --- threads ---------------------------------------------------------------------------------

def test_release_from_a_detached_thread_waits_for_the_next_entry(hooks):
    class Thing:
        pass

    obj = Thing()
    ref = weakref.ref(obj)
    hooks.Probe.release_on_thread(obj)
    del obj
    assert ref() is not None  # only the deferred reference keeps it
    hooks.Probe.noop()
    assert ref() is None


def test_foreign_thread_attaches_to_call_python(hooks):
    seen = []
    hooks.Probe.call_on_thread(lambda: seen.append((threading.get_ident(), hooks.Probe.make(3).value)))
    assert len(seen) == 1 and seen[0][0] != threading.get_ident() and seen[0][1] == 3


def test_entering_a_detached_section_aborts(hooks):
    code = ("import _quelvane_hooks as h\n"
            "h.Probe.enter_detached(lambda: h.Probe.noop())\n"
            "print('not reached')\n")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.returncode < 0  # SIGABRT
    assert "uncaught panic at ffi boundary" in proc.stderr
    assert "not reached" not in proc.stdout


# --- releases at a normal exit ---------------------------------------------------------------

# A wake callback from a module of its own (so no cycle runs through the script's globals) that
# holds a buffered file: only its release at exit writes the line out.
WAKE_LOG_MODULE = '''
class Callback:
    def __init__(self, path):
        self.file = open(path, "w")
        self.file.write("kept\\n")

    def __call__(self):
        pass
'''

RELEASE_AT_EXIT_SCRIPT = r"""
import sys
sys.path.insert(0, sys.argv[3])
import quelvane
import wake_log

kind, data_dir, log = sys.argv[1], sys.argv[2], sys.argv[4]
s = quelvane.Store.open(data_dir, quelvane.StoreConfig(enable_background_thread=False))
ds = s.create_dataset("a", "b", enable_journal=True)
if kind == "dataset":
    c = s.open_queue(ds.id).open_consumer("g")
    c.poll_callback(wake_log.Callback(log))
    del s  # freed without close: the consumer keeps the dataset, and it the callback
else:
    c = s.open_journal_queue().open_consumer("j")
    c.poll_callback(wake_log.Callback(log))
    s.close()  # the consumer keeps its callback after the journal queue closes
"""


@pytest.mark.parametrize("kind", ["dataset", "journal"])
def test_the_finalising_thread_releases_what_the_module_holds(tmp_path, kind):
    (tmp_path / "wake_log.py").write_text(WAKE_LOG_MODULE)
    log = tmp_path / "log"
    proc = subprocess.run([sys.executable, "-c", RELEASE_AT_EXIT_SCRIPT, kind, str(tmp_path / "d"), str(tmp_path),
                           str(log)], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert log.read_text() == "kept\n"


def test_a_foreign_thread_ended_inside_python_code_at_exit(hooks):
    # The interpreter ends a thread that takes its lock back while it finalises, also one it did
    # not start: the thread's unwind must not give back a lock it no longer holds.
    code = ("import sys, threading, time\n"
            "import _quelvane_hooks as h\n"
            "started = threading.Event()\n"
            "def spin():\n"
            "    started.set()\n"
            "    while True:\n"
            "        time.sleep(0.001)\n"
            "threading.Thread(target=lambda: h.Probe.call_on_thread(spin), daemon=True).start()\n"
            "started.wait(10)\n"
            "sys.exit(7)\n")
    for _ in range(3):
        proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        assert proc.returncode == 7, (proc.returncode, proc.stderr[-2000:])
