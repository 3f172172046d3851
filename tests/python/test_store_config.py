import inspect

import pytest

import quelvane
from quelvane import StoreConfig

DEFAULTS = {
    "flush_interval": 15,
    "idle_timeout": 1800,
    "data_segment_size": 67108864,
    "index_segment_size": 16777216,
    "initial_data_segment_size": 262144,
    "initial_index_segment_size": 16384,
    "compress_level": 6,
    "cache_max_memory": 268435456,
    "cache_idle_timeout": 1800,
    "retention_check_hour": 0,
    "enable_background_thread": True,
    "enable_journal": True,
    "read_only": None,
}
U64_OPTIONS = ["flush_interval", "idle_timeout", "data_segment_size", "index_segment_size",
               "initial_data_segment_size", "initial_index_segment_size", "cache_max_memory",
               "cache_idle_timeout"]
BOOL_OPTIONS = ["enable_background_thread", "enable_journal"]


def values(config):
    return {name: getattr(config, name) for name in DEFAULTS}


@pytest.mark.parametrize("make", [StoreConfig, StoreConfig.default], ids=["constructor", "default"])
def test_defaults(make):
    config = make()
    assert type(config) is StoreConfig
    got = values(config)
    assert got == DEFAULTS
    assert {name: type(v) for name, v in got.items()} == {name: type(v) for name, v in DEFAULTS.items()}
    assert not hasattr(config, "compress_type")


@pytest.mark.parametrize("name,given,stored", [
    *[(name, v, v) for name in U64_OPTIONS for v in (0, 1, 2**64 - 1)],
    ("compress_level", 0, 0), ("compress_level", 9, 9), ("compress_level", 12, 9), ("compress_level", 255, 9),
    ("retention_check_hour", 23, 23), ("retention_check_hour", 40, 23), ("retention_check_hour", 255, 23),
    *[(name, False, False) for name in BOOL_OPTIONS],
    ("read_only", True, True), ("read_only", False, False), ("read_only", None, None),
])
def test_each_option_is_stored_alone(name, given, stored):
    config = StoreConfig(**{name: given})
    assert values(config) == {**DEFAULTS, name: stored}


def test_nothing_is_validated_at_construction():
    # The checks run when a store opens with the record.
    config = StoreConfig(data_segment_size=0, initial_data_segment_size=10, flush_interval=0)
    assert (config.data_segment_size, config.initial_data_segment_size, config.flush_interval) == (0, 10, 0)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_integer_like_arguments_are_accepted():
    config = StoreConfig(flush_interval=Index(7), compress_level=Index(3), data_segment_size=True)
    assert (config.flush_interval, config.compress_level, config.data_segment_size) == (7, 3, 1)


def test_numpy_bool_is_accepted():
    np = pytest.importorskip("numpy")
    config = StoreConfig(enable_journal=np.bool_(False), read_only=np.bool_(True))
    assert config.enable_journal is False and config.read_only is True


NEW = "StoreConfig.__new__()"


@pytest.mark.parametrize("args,kwargs,exc,message", [
    ((1,), {}, TypeError, f"{NEW} takes 0 positional arguments but 1 was given"),
    ((1, 2), {}, TypeError, f"{NEW} takes 0 positional arguments but 2 were given"),
    ((), {"foo": 1}, TypeError, f"{NEW} got an unexpected keyword argument 'foo'"),
    ((), {"compress_type": 0}, TypeError, f"{NEW} got an unexpected keyword argument 'compress_type'"),
    ((), {"flush_interval": -1}, OverflowError, "can't convert negative int to unsigned"),
    ((), {"cache_max_memory": 2**64}, OverflowError, "int too big to convert"),
    ((), {"idle_timeout": 1.5}, TypeError, "argument 'idle_timeout': 'float' object cannot be interpreted as an integer"),
    ((), {"data_segment_size": None}, TypeError,
     "argument 'data_segment_size': 'NoneType' object cannot be interpreted as an integer"),
    ((), {"flush_interval": "15"}, TypeError, "argument 'flush_interval': 'str' object cannot be interpreted as an integer"),
    ((), {"compress_level": 256}, OverflowError, "out of range integral type conversion attempted"),
    ((), {"compress_level": -1}, OverflowError, "out of range integral type conversion attempted"),
    ((), {"retention_check_hour": 2**64}, OverflowError, "Python int too large to convert to C long"),
    ((), {"compress_level": None}, TypeError,
     "argument 'compress_level': 'NoneType' object cannot be interpreted as an integer"),
    ((), {"retention_check_hour": 1.0}, TypeError,
     "argument 'retention_check_hour': 'float' object cannot be interpreted as an integer"),
    ((), {"enable_journal": 1}, TypeError, "argument 'enable_journal': 'int' object cannot be converted to 'bool'"),
    ((), {"enable_background_thread": None}, TypeError,
     "argument 'enable_background_thread': 'None' is not an instance of 'bool'"),
    ((), {"read_only": 0}, TypeError, "argument 'read_only': 'int' object cannot be converted to 'bool'"),
    ((), {"read_only": "yes"}, TypeError, "argument 'read_only': 'str' object cannot be converted to 'bool'"),
    # Matching comes first, then the conversions in parameter order (not call order).
    ((1,), {"flush_interval": -1}, TypeError, f"{NEW} takes 0 positional arguments but 1 was given"),
    ((), {"flush_interval": -1, "foo": 1}, TypeError, f"{NEW} got an unexpected keyword argument 'foo'"),
    ((), {"read_only": 1, "flush_interval": -1}, OverflowError, "can't convert negative int to unsigned"),
    ((), {"enable_journal": 1, "compress_level": 300}, OverflowError, "out of range integral type conversion attempted"),
])
def test_bad_arguments(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        StoreConfig(*args, **kwargs)
    assert type(info.value) is exc
    assert str(info.value) == message


def test_keyword_that_cannot_be_encoded():
    with pytest.raises(UnicodeEncodeError):
        StoreConfig(**{"\udc80": 1})


def test_type_error_from_index_keeps_its_cause():
    class Failing:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as e:
                raise TypeError("custom") from e

    with pytest.raises(TypeError) as info:
        StoreConfig(flush_interval=Failing())
    assert type(info.value) is TypeError
    assert str(info.value) == "argument 'flush_interval': custom"
    assert isinstance(info.value.__cause__, KeyError)


@pytest.mark.parametrize("raised", [type("SubTypeError", (TypeError,), {}), ValueError])
def test_other_errors_from_index_pass_unchanged(raised):
    class Failing:
        def __index__(self):
            raise raised("plain")

    with pytest.raises(raised) as info:
        StoreConfig(idle_timeout=Failing())
    assert type(info.value) is raised and str(info.value) == "plain"


def test_default_takes_no_arguments():
    with pytest.raises(TypeError, match=r"^StoreConfig.default\(\) takes no arguments \(1 given\)$"):
        StoreConfig.default(1)


def test_signatures_and_docstrings():
    assert StoreConfig.__text_signature__ == "(*, " + ", ".join(f"{k}={v!r}" for k, v in DEFAULTS.items()) + ")"
    params = inspect.signature(StoreConfig).parameters
    assert list(params) == list(DEFAULTS)
    assert all(p.kind is inspect.Parameter.KEYWORD_ONLY and p.default == DEFAULTS[n] for n, p in params.items())
    assert StoreConfig.default.__doc__ is None
    assert StoreConfig.default.__text_signature__ == "($cls)"
    for name in DEFAULTS:
        assert getattr(StoreConfig, name).__doc__ is None


def test_new_objects_are_distinct():
    a, b = StoreConfig(), StoreConfig.default()
    assert a is not b and a != b
    assert type(StoreConfig.__new__(StoreConfig, flush_interval=3)) is StoreConfig
