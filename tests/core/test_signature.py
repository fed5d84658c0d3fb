import re

import pytest

from quorvel.core.signature import Signature
from quorvel.core.sorts import Bool, Ind, Nat


def test_registration_is_readable_and_tolerates_repeats():
    sig = Signature()
    sig.register_predicate("R", 2, (Ind, Nat))
    sig.register_predicate("p", 1)
    sig.register_function("f", 1, (Nat,), Bool)
    sig.register_constant("c")
    sig.register_constant("d", Nat)
    sig.register_predicate("R", 1, (Ind,))  # another arity: the newest entry wins, in the first place
    assert sig.predicates == {"R": (1, (Ind,)), "p": (1, (Ind,))}
    assert list(sig.predicates) == ["R", "p"]
    assert sig.functions == {"f": (1, (Nat,), Bool)}
    assert sig.constants == {"c": Ind, "d": Nat}
    copy = sig.constants
    copy.clear()
    assert sig.constants == {"c": Ind, "d": Nat}


def test_a_sort_given_as_none_is_ind():
    sig = Signature()
    sig.register_constant("c", None)
    sig.register_function("f", 1, None, None)
    assert sig.constants == {"c": Ind}
    assert sig.functions == {"f": (1, (Ind,), Ind)}


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda s: s.register_predicate(1, 0), TypeError, "symbol name must be str, got <class 'int'>"),
        (lambda s: s.register_constant(""), ValueError, "symbol name cannot be empty"),
        (lambda s: s.register_function("f", -1), ValueError, "arity must be a non-negative int, got -1"),
        (lambda s: s.register_function("f", 2, (Ind,)), ValueError, "expected 2 argument sorts for arity 2, got 1"),
        (lambda s: s.register_predicate("p"), TypeError, "missing 1 required positional argument: 'arity'"),
    ],
)
def test_bad_registrations(call, error, message):
    with pytest.raises(error, match=re.escape(message)):
        call(Signature())


def test_a_signature_in_a_cycle_is_collected():
    import gc
    import weakref

    class Holder:
        pass

    sig = Signature()
    holder = Holder()
    holder.sig = sig
    sig.register_constant("c", holder)  # any object serves as a sort
    ref = weakref.ref(holder)
    del sig, holder
    gc.collect()
    assert ref() is None
