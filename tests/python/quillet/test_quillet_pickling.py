"""Pickled state of DefaultLogger; Logger refuses pickling."""

import copy
import pickle

import pytest

from korvo.quillet import quillet

unpickle = quillet.__pyx_unpickle_DefaultLogger


class WithAttrs(quillet.DefaultLogger):
    pass


@pytest.mark.parametrize("clone", [lambda o: pickle.loads(pickle.dumps(o)), lambda o: pickle.loads(pickle.dumps(o, 0)),
                                   copy.copy, copy.deepcopy])
def test_round_trips_by_the_direct_form(clone):
    logger = quillet.DefaultLogger()
    assert logger.__reduce__() == (unpickle, (quillet.DefaultLogger, 238750788, ()))
    assert type(clone(logger)) is quillet.DefaultLogger


def test_subclass_with_attributes_uses_the_set_state_form():
    logger = WithAttrs()
    assert logger.__reduce__() == (unpickle, (WithAttrs, 238750788, ()))  # an empty __dict__ is left out
    logger.tag = "x"
    assert logger.__reduce__() == (unpickle, (WithAttrs, 238750788, None), ({"tag": "x"},))
    for again in (pickle.loads(pickle.dumps(logger)), copy.deepcopy(logger)):
        assert type(again) is WithAttrs and again.tag == "x"


@pytest.mark.parametrize("checksum", [238750788, 228825662, 222419149])
def test_accepted_checksums(checksum):
    assert type(unpickle(quillet.DefaultLogger, checksum, None)) is quillet.DefaultLogger
    assert unpickle(WithAttrs, checksum, ({"a": 1},)).a == 1


@pytest.mark.parametrize(("args", "exc", "text"), [
    ((quillet.DefaultLogger, 1, ()), pickle.PickleError,
     "Incompatible checksums (0x1 vs (0xe3b0c44, 0xda39a3e, 0xd41d8cd) = ())"),
    ((quillet.DefaultLogger, 0xE3B0C45, ()), pickle.PickleError,
     "Incompatible checksums (0xe3b0c45 vs (0xe3b0c44, 0xda39a3e, 0xd41d8cd) = ())"),
    ((quillet.DefaultLogger, "238750788", ()), TypeError, "an integer is required"),
    ((quillet.DefaultLogger, 238750788, [{}]), TypeError,
     "Argument '__pyx_state' has incorrect type (expected tuple, got list)"),
    ((int, 238750788, None), TypeError, None),  # not a DefaultLogger type
    ((quillet.DefaultLogger, 238750788, ({"a": 1},)), AttributeError, None),  # no __dict__ to fill
])
def test_unpickle_errors(args, exc, text):
    with pytest.raises(exc) as info:
        unpickle(*args)
    if text is not None:
        assert str(info.value) == text


@pytest.mark.parametrize(("state", "text"), [
    (None, "cannot pass None into a C function argument that is declared 'not None'"),
    ([], "Expected tuple, got list"),
])
def test_setstate_needs_a_tuple(state, text):
    with pytest.raises(TypeError) as info:
        quillet.DefaultLogger().__setstate__(state)
    assert str(info.value) == text
    obj = WithAttrs()
    assert obj.__setstate__(({"b": 2},)) is None and obj.b == 2


@pytest.mark.parametrize("attempt", [pickle.dumps, copy.copy, copy.deepcopy, lambda o: o.__reduce__(),
                                     lambda o: o.__setstate__(())])
def test_logger_refuses_pickling(attempt):
    with pytest.raises(TypeError) as info:
        attempt(quillet.Logger.__new__(quillet.Logger))
    assert str(info.value) == "no default __reduce__ due to non-trivial __cinit__"


def test_default_logger_ignores_constructor_arguments():
    assert type(quillet.DefaultLogger(1, "two", three=3)) is quillet.DefaultLogger


def test_pickling_leaks_nothing(refcount_growth):
    logger = WithAttrs()
    logger.tag = "x"
    assert refcount_growth(lambda: pickle.loads(pickle.dumps(logger)), repeat=2000) < 0.025
    assert refcount_growth(lambda: pytest.raises(pickle.PickleError, unpickle, quillet.DefaultLogger, 5, ()),
                           repeat=2000) < 0.025
