"""Hostile arguments over the whole Python surface of the module.

One catalogue of wrong values goes into every parameter of every constructor
and method, by position and by keyword. Each call must either succeed or raise
one of the exceptions that the parameter's conversion allows; afterwards the
module's objects must still work, references to the argument must be
balanced, and a refused authorize_action must leave the boundary exactly as
its state table says (the next receipt's sequence id and the rate window show
it).
"""
import gc
import math
import struct
import sys
import unittest
import warnings

import _kestrel
from support import FloatLike as FloatReturns, IndexLike as IndexReturns, authorize_outcome, f32

Governor = _kestrel.Governor
KestrelBoundary = _kestrel.KestrelBoundary
KestrelReceipt = _kestrel.KestrelReceipt
KestrelViolation = _kestrel.KestrelViolation
MonotonicCounter = _kestrel.MonotonicCounter

KEY = bytes(range(32))


# ---- Hostile objects ---------------------------------------------------------

class Boom(Exception):
    """What the hostile protocol methods raise."""


class BoomBase(BaseException):
    """Not an Exception at all: must still come through unchanged."""


class BoomTypeError(TypeError):
    """A TypeError subclass: passed through, never reworded."""


class Unprintable:
    def __str__(self):
        raise Boom("no text")


class NonStrText:
    def __str__(self):
        return 5


class Raises:
    """Every conversion protocol raises a fresh `make()`; also a would-be sequence."""

    def __init__(self, make):
        self.make = make

    def __float__(self):
        raise self.make()

    def __index__(self):
        raise self.make()

    def __len__(self):
        raise self.make()

    def __iter__(self):
        raise self.make()

    def __getitem__(self, i):
        raise self.make()


class FloatSub(float):
    """A float subclass: read directly, its __float__ is never consulted."""

    def __float__(self):
        raise Boom("float subclass")


class IntSub(int):
    """An int subclass: read directly as an integer; __float__ is a real override."""

    def __index__(self):
        raise Boom("int subclass")

    def __float__(self):
        raise Boom("int subclass")


class StrSub(str):
    def __str__(self):
        raise Boom("str subclass")

    def encode(self, *args, **kwargs):
        raise Boom("str subclass")


class BytesSub(bytes):
    def __len__(self):
        raise Boom("bytes subclass")


class Sequence:
    """A generic sequence over `items` whose __len__ answers `length` (or raises it)."""

    def __init__(self, items, length=None):
        self.items = list(items)
        self.length = len(self.items) if length is None else length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class IterReturns(Sequence):
    def __init__(self, result):
        super().__init__([1.0])
        self.result = result

    def __iter__(self):
        return self.result


class NextRaises(Sequence):
    def __iter__(self):
        yield 0.5
        raise Boom("next")


class ShrinkingGetitem(Sequence):
    """Each read drops the last element, so iteration ends early."""

    def __getitem__(self, i):
        value = self.items[i]
        self.items.pop()
        return value


class ListLen(list):
    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length


class TupleLen(tuple):
    def __new__(cls, items, length):
        self = super().__new__(cls, items)
        self.length = length
        return self

    def __len__(self):
        return self.length


class ListGrowingIter(list):
    """Appends to itself while its iterator runs."""

    def __iter__(self):
        for value in list.__iter__(self):
            if list.__len__(self) < 8:
                self.append(value)
            yield value


class TupleIterRaises(tuple):
    def __iter__(self):
        raise Boom("tuple iter")


class Mutator:
    """An element whose conversion runs `action(items)` on the list holding it."""

    def __init__(self, items, action, value=0.25):
        self.items = items
        self.action = action
        self.value = value

    def __float__(self):
        self.action(self.items)
        return self.value


def list_with_mutator(action, tail=(1.0, 2.0, 3.0)):
    items = list(tail)
    items.insert(0, Mutator(items, action))
    return items


def grow(items):
    if len(items) < 10:
        items.append(0.5)


def self_referencing_list():
    items = [0.5]
    items.append(items)
    return items


# (label, factory, flags). The factory makes a fresh value for every call.
# Flags: "mutates" - the value changes itself, so references to it are not
# expected to balance; "unprintable" - a TypeError whose text cannot be made,
# so its rewording cannot be either.
CATALOGUE = [
    ("None", lambda: None, ()),
    ("True", lambda: True, ()),
    ("str", lambda: "1.0", ()),
    ("str lone surrogate", lambda: "\ud800", ()),
    ("str subclass lone surrogate", lambda: StrSub("a\udcff"), ()),
    ("str subclass", lambda: StrSub("kind"), ()),
    ("bytes", lambda: b"\x00\x05", ()),
    ("bytes 32", lambda: bytes(32), ()),
    ("bytes subclass 32", lambda: BytesSub(KEY), ()),
    ("bytearray 32", lambda: bytearray(32), ()),
    ("memoryview 32", lambda: memoryview(bytes(32)), ()),
    ("memoryview of doubles", lambda: memoryview(struct.pack("<3d", 0.5, 2.0, -7.0)).cast("d"), ()),
    ("2**31", lambda: 2**31, ()),
    ("-2**31 - 1", lambda: -2**31 - 1, ()),
    ("-1", lambda: -1, ()),
    ("2**64", lambda: 2**64, ()),
    ("-2**63 - 1", lambda: -2**63 - 1, ()),
    ("10**400", lambda: 10**400, ()),
    ("nan", lambda: math.nan, ()),
    ("-nan", lambda: -math.nan, ()),
    ("inf", lambda: math.inf, ()),
    ("-inf", lambda: -math.inf, ()),
    ("-0.0", lambda: -0.0, ()),
    ("smallest subnormal", lambda: 5e-324, ()),
    ("largest double", lambda: sys.float_info.max, ()),
    ("complex", lambda: 1j, ()),
    ("object", lambda: object(), ()),
    ("set", lambda: {0.5}, ()),
    ("dict", lambda: {0: 0.5}, ()),
    ("generator", lambda: (x for x in [0.5]), ()),
    ("float subclass", lambda: FloatSub(0.5), ()),
    ("int subclass", lambda: IntSub(3), ()),
    ("raises Boom", lambda: Raises(lambda: Boom("hostile")), ()),
    ("raises BaseException", lambda: Raises(lambda: BoomBase("hostile")), ()),
    ("raises TypeError subclass", lambda: Raises(lambda: BoomTypeError("hostile")), ()),
    ("raises TypeError", lambda: Raises(lambda: TypeError("hostile")), ()),
    ("raises TypeError whose text raises", lambda: Raises(lambda: TypeError(Unprintable())), ()),
    ("raises TypeError whose text is no str", lambda: Raises(lambda: TypeError(NonStrText())), ("unprintable",)),
    ("raises MemoryError", lambda: Raises(MemoryError), ()),
    ("__float__ returns str", lambda: FloatReturns("1.0"), ()),
    ("__float__ returns int", lambda: FloatReturns(1), ()),
    ("__float__ returns float subclass", lambda: FloatReturns(FloatSub(0.5)), ()),
    ("__float__ returns nan", lambda: FloatReturns(math.nan), ()),
    ("__index__ returns float", lambda: IndexReturns(1.0), ()),
    ("__index__ returns int subclass", lambda: IndexReturns(IntSub(2)), ()),
    ("__index__ returns 2**70", lambda: IndexReturns(2**70), ()),
    ("__index__ returns -1", lambda: IndexReturns(-1), ()),
    ("__index__ returns None", lambda: IndexReturns(None), ()),
    # Sequences, for project_batch above all.
    ("empty list", lambda: [], ()),
    ("tuple", lambda: (0.5, -3, 2**70), ()),
    ("list with huge int", lambda: [0.5, 10**400], ()),
    ("list with raising element", lambda: [0.5, Raises(lambda: Boom("element"))], ()),
    ("list with str element", lambda: [0.5, "x"], ()),
    ("list of hostile numbers",
     lambda: [FloatReturns(2.0), IndexReturns(-5), FloatSub(0.5), IntSub(7), True], ()),
    ("list with non-float __float__", lambda: [0.5, FloatReturns(1)], ()),
    ("list with non-int __index__", lambda: [IndexReturns(1.0)], ()),
    ("list containing itself", self_referencing_list, ()),
    ("list cleared by its first element", lambda: list_with_mutator(list.clear), ("mutates",)),
    ("list grown by its first element", lambda: list_with_mutator(grow), ("mutates",)),
    ("list whose element deletes itself", lambda: list_with_mutator(lambda items: items.pop(0)), ("mutates",)),
    ("list replaced by its first element",
     lambda: list_with_mutator(lambda items: items.__setitem__(slice(None), [9.0] * 5)), ("mutates",)),
    ("list subclass __len__ 2**62", lambda: ListLen([0.5, 2.0], 2**62), ()),
    ("list subclass __len__ -1", lambda: ListLen([0.5], -1), ()),
    ("list subclass __len__ raises", lambda: ListLen([0.5], Boom("len")), ()),
    ("list subclass growing while iterated", lambda: ListGrowingIter([0.5, 2.0]), ("mutates",)),
    ("tuple subclass __len__ 2**62", lambda: TupleLen((0.5,), 2**62), ()),
    ("tuple subclass __iter__ raises", lambda: TupleIterRaises((0.5,)), ()),
    ("sequence __len__ 2**62", lambda: Sequence([0.5, -2.0], 2**62), ()),
    ("sequence __len__ 2**64", lambda: Sequence([0.5], 2**64), ()),
    ("sequence __len__ -7", lambda: Sequence([0.5], -7), ()),
    ("sequence __len__ str", lambda: Sequence([0.5], "3"), ()),
    ("sequence __len__ float", lambda: Sequence([0.5], 3.0), ()),
    ("sequence __len__ raises", lambda: Sequence([0.5], Boom("len")), ()),
    ("sequence __len__ raises BaseException", lambda: Sequence([0.5], BoomBase("len")), ()),
    ("sequence __iter__ raises", lambda: Raises(lambda: Boom("iter")), ()),
    ("sequence __iter__ returns non-iterator", lambda: IterReturns(5), ()),
    ("sequence __iter__ returns a str iterator", lambda: IterReturns(iter("ab")), ()),
    ("sequence next raises", lambda: NextRaises([]), ()),
    ("sequence shrinking while read", lambda: ShrinkingGetitem([0.5, 1.5, -2.0, 0.25]), ()),
    ("range", lambda: range(-2, 3), ()),
]


# ---- Entry points --------------------------------------------------------------

# What a failed conversion of each kind of parameter may raise, besides what
# the argument itself raises from its own protocol methods.
CONVERSION_ERRORS = {
    "f64": (TypeError, OverflowError),
    "f32": (TypeError, OverflowError),
    "i32": (TypeError, OverflowError),
    "u64": (TypeError, OverflowError),
    "seq": (TypeError, OverflowError, MemoryError),
    "bytes": (TypeError,),
    "bytes or None": (TypeError,),
    "text": (TypeError, UnicodeEncodeError),
}
# Conversions that call into the argument (__float__, __index__, __len__,
# __iter__); bytes and text conversions never do, so nothing the argument
# would raise may come out of them.
RUNS_PYTHON = {"f64", "f32", "i32", "u64", "seq"}
HOSTILE = (Boom, BoomBase, BoomTypeError, MemoryError)


class Param:
    def __init__(self, name, kind, valid, extra=()):
        self.name, self.kind, self.valid, self.extra = name, kind, valid, extra


class Fixture:
    """One of each object, shared by every call; must stay usable throughout."""

    def __init__(self):
        self.governor = Governor(-1.0, 1.0)
        self.counter = MonotonicCounter(5)
        self.boundary = KestrelBoundary(rate_limit=2**64 - 1, hmac_key=KEY)
        self.receipt = self.boundary.authorize_action(3, 0.25, 1.5)
        self.violation = KestrelViolation(-3, "kind", "text")
        self.counted = 5

    def assert_usable(self, test):
        test.assertEqual(self.governor.project(0.5), 0.5)
        test.assertEqual(self.governor.project_batch((2.0, -2.0, 0.25)), [1.0, -1.0, 0.25])
        self.counted += 1
        test.assertEqual(self.counter.next_value(), self.counted)
        test.assertEqual(self.counter.current_value(), self.counted)
        receipt = self.boundary.authorize_action(1, 0.0, 0.0)
        test.assertTrue(receipt.verify(KEY))
        test.assertTrue(self.receipt.verify(KEY))
        test.assertEqual(self.receipt.sequence_id, 1)
        test.assertEqual(len(self.receipt.receipt_hash), 60)
        test.assertEqual((self.violation.axis, self.violation.violation_type, self.violation.message),
                         (-3, "kind", "text"))
        test.assertEqual(str(self.violation), "KestrelViolation(axis=-3, violation_type=kind): text")


def nan_aware(values):
    return [repr(v) for v in values]


def reference_batch(seq):
    """project_batch on the envelope [-1, 1], written with Python's own protocols."""
    if isinstance(seq, str) or isinstance(seq, dict) or not hasattr(type(seq), "__getitem__"):
        raise TypeError("not a sequence")
    if type(seq) not in (list, tuple):
        try:
            len(seq)  # a hint only; its failure is ignored
        except BaseException:
            pass
    out = []
    try:
        for item in seq:
            if isinstance(item, (str, bytes, bytearray)):
                raise TypeError("not a number")
            value = float(item)
            out.append(value if math.isnan(value) else f32(min(max(value, -1.0), 1.0)))
    except TypeError as caught:
        if type(caught) is TypeError:
            str(caught)  # the module rewords it, which reads its text
        raise
    return out


class Entry:
    """An entry point: how to reach it, its parameters, and what to check afterwards."""

    def __init__(self, label, target, params, keywords=True):
        self.label, self.target, self.params, self.keywords = label, target, params, keywords

    def prepare(self, fixture):
        return self.target(fixture)

    def check(self, test, make, result, exc, param):
        pass


class GovernorEntry(Entry):
    def check(self, test, make, result, exc, param):
        if exc is None:
            test.assertIs(type(result), Governor)
            test.assertIs(type(result.project(0.0)), float)


class ProjectEntry(Entry):
    def check(self, test, make, result, exc, param):
        if exc is None:
            test.assertIs(type(result), float)
            test.assertTrue(math.isnan(result) or -1.0 <= result <= 1.0)


class BatchEntry(Entry):
    def check(self, test, make, result, exc, param):
        # The same walk done by Python over a fresh copy of the argument
        # must give the same projections, or fail with the same kind of error.
        try:
            expected, expected_exc = reference_batch(make()), None
        except BaseException as caught:
            expected, expected_exc = None, type(caught)
        if exc is None:
            test.assertIsNone(expected_exc)
            test.assertIs(type(result), list)
            test.assertEqual(nan_aware(result), nan_aware(expected))
        else:
            test.assertIs(type(exc), expected_exc)


class CounterEntry(Entry):
    def check(self, test, make, result, exc, param):
        if exc is None:
            value = result.current_value()
            test.assertTrue(0 <= value < 2**64)
            test.assertEqual(result.next_value(), (value + 1) % 2**64)


class ViolationEntry(Entry):
    def check(self, test, make, result, exc, param):
        if exc is None:
            test.assertTrue(-2**31 <= result.axis < 2**31)
            for field in ("violation_type", "message"):
                test.assertIs(type(getattr(result, field)), str)
            if param.kind == "text":
                # The text itself, not what an overridden __str__ or encode says.
                test.assertEqual(getattr(result, param.name), str.__str__(make()))
            str(result)
            repr(result)


class BoundaryEntry(Entry):
    def check(self, test, make, result, exc, param):
        if exc is None:
            test.assertIs(type(result), KestrelBoundary)
            try:
                test.assertEqual(result.authorize_action(0, 0.0, 0.0).sequence_id, 1)
            except KestrelViolation as refusal:  # a zero rate limit or a strange velocity limit
                test.assertIn(refusal.violation_type, ("rate_limited", "velocity_exceeded"))


class AuthorizeEntry(Entry):
    """A fresh boundary per call that admits one call per window; the call
    after the hostile one shows what the hostile call consumed."""

    def prepare(self, fixture):
        self.boundary = KestrelBoundary(rate_limit=1, hmac_key=KEY)
        return self.boundary.authorize_action

    def check(self, test, make, result, exc, param):
        after = authorize_outcome(self.boundary)
        if exc is None:
            test.assertIs(type(result), KestrelReceipt)
            test.assertEqual(result.sequence_id, 1)
            test.assertTrue(result.verify(KEY))
            # Refused in the same window, or the first call of a later one.
            test.assertIn(after if isinstance(after, int) else after.violation_type, (2, "rate_limited"))
            return
        if isinstance(exc, KestrelViolation):
            test.assertEqual(param.name, "commanded_velocity")
            test.assertEqual((exc.axis, exc.violation_type), (0, "velocity_exceeded"))
        # Argument errors and velocity refusals cost neither a sequence id nor
        # a place in the rate window, so the next call is the first counted,
        # and admitted whenever it runs.
        test.assertEqual(after, 1)


class VerifyEntry(Entry):
    def check(self, test, make, result, exc, param):
        if exc is None:
            test.assertIs(type(result), bool)


ENTRIES = [
    GovernorEntry("Governor", lambda fx: Governor,
                  [Param("min_bound", "f32", -1.0, (ValueError,)), Param("max_bound", "f32", 1.0, (ValueError,))]),
    ProjectEntry("Governor.project", lambda fx: fx.governor.project, [Param("u_desired", "f32", 0.5)]),
    BatchEntry("Governor.project_batch", lambda fx: fx.governor.project_batch, [Param("u_vec", "seq", [0.5])]),
    CounterEntry("MonotonicCounter", lambda fx: MonotonicCounter, [Param("initial_value", "u64", 0)]),
    # Keyword arguments reach the base exception's initialiser, which refuses them.
    ViolationEntry("KestrelViolation", lambda fx: KestrelViolation,
                   [Param("axis", "i32", 1), Param("violation_type", "text", "kind"),
                    Param("message", "text", "text")], keywords=False),
    BoundaryEntry("KestrelBoundary", lambda fx: KestrelBoundary,
                  [Param("rate_limit", "u64", 10), Param("max_velocity_rad_s", "f64", 4.18),
                   Param("monotonic_window_size", "u64", 64), Param("hmac_key", "bytes or None", KEY, (ValueError,))]),
    AuthorizeEntry("KestrelBoundary.authorize_action", None,
                   [Param("target_axis", "i32", 0), Param("requested_position", "f64", 0.0),
                    Param("commanded_velocity", "f64", 0.0, (KestrelViolation,))]),
    VerifyEntry("KestrelReceipt.verify", lambda fx: fx.receipt.verify, [Param("key", "bytes", KEY)]),
]


def outcome_of(call, args, kwargs):
    try:
        return call(*args, **kwargs), None
    except BaseException as caught:  # the catalogue raises BaseExceptions too
        return None, caught


class HostileArgumentTest(unittest.TestCase):
    def setUp(self):
        # __float__ and __index__ returning subclasses only warn.
        self.warnings = warnings.catch_warnings()
        self.warnings.__enter__()
        warnings.simplefilter("ignore", DeprecationWarning)
        self.addCleanup(self.warnings.__exit__, None, None, None)

    def assert_allowed(self, exc, param, flags):
        allowed = CONVERSION_ERRORS[param.kind] + param.extra
        if param.kind in RUNS_PYTHON:
            allowed += HOSTILE
        self.assertIsInstance(exc, allowed, f"{type(exc).__name__}: {exc}")
        if type(exc) is TypeError and "unprintable" not in flags:
            # Every conversion TypeError names its argument.
            self.assertRegex(str(exc), rf"^argument '{param.name}': ")
        if type(exc) is BoomTypeError:
            self.assertEqual(str(exc), "hostile")  # passed through as it was raised

    def test_every_parameter_of_every_entry_point(self):
        fixture = Fixture()
        for entry in ENTRIES:
            for index, param in enumerate(entry.params):
                for label, make, flags in CATALOGUE:
                    for by_keyword in (False, True) if entry.keywords else (False,):
                        with self.subTest(entry=entry.label, param=param.name, value=label, keyword=by_keyword):
                            call = entry.prepare(fixture)
                            value = make()
                            references = sys.getrefcount(value)
                            args = [p.valid for p in entry.params]
                            if by_keyword:
                                kwargs = {p.name: a for p, a in zip(entry.params, args)}
                                kwargs[param.name] = value
                                args = []
                            else:
                                args[index] = value
                                kwargs = {}
                            result, exc = outcome_of(call, args, kwargs)
                            if exc is not None:
                                self.assert_allowed(exc, param, flags)
                            entry.check(self, make, result, exc, param)
                            del result, exc, args, kwargs
                            # Shared singletons (None, small ints) see the interpreter's own traffic.
                            if "mutates" not in flags and references < 100:
                                self.assertEqual(sys.getrefcount(value), references, "references to the argument")
                            fixture.assert_usable(self)

    def test_receiver_of_every_method_and_getter(self):
        # Methods and getters called through the class with a foreign receiver,
        # including the module's other classes, are refused before anything runs.
        fixture = Fixture()
        unbound = [
            ("Governor.project", Governor.project, (0.5,)),
            ("Governor.project_batch", Governor.project_batch, ([0.5],)),
            ("MonotonicCounter.next_value", MonotonicCounter.next_value, ()),
            ("MonotonicCounter.current_value", MonotonicCounter.current_value, ()),
            ("KestrelBoundary.authorize_action", KestrelBoundary.authorize_action, (0, 0.0, 0.0)),
            ("KestrelReceipt.verify", KestrelReceipt.verify, (KEY,)),
            ("KestrelViolation.__str__", KestrelViolation.__str__, ()),
        ]
        for cls, names in [(KestrelReceipt, ("is_authorized", "sequence_id", "timestamp_nanos", "receipt_hash")),
                           (KestrelViolation, ("axis", "violation_type", "message"))]:
            for name in names:
                unbound.append((f"{cls.__name__}.{name}", cls.__dict__[name].__get__, ()))
        receivers = [(label, make) for label, make, _ in CATALOGUE] + [
            (name, lambda obj=obj: obj) for name, obj in
            [("Governor", fixture.governor), ("MonotonicCounter", fixture.counter),
             ("KestrelBoundary", fixture.boundary), ("KestrelReceipt", fixture.receipt),
             ("KestrelViolation", fixture.violation), ("ValueError", ValueError("x"))]]
        for name, method, args in unbound:
            for label, make in receivers:
                with self.subTest(method=name, receiver=label):
                    receiver = make()
                    if name.startswith(type(receiver).__name__ + "."):
                        continue
                    with self.assertRaises(TypeError):
                        method(receiver, *args)
        fixture.assert_usable(self)

    def test_no_class_can_be_made_without_its_constructor(self):
        # object.__new__ would leave a boundary's lock and a governor's bounds unset.
        for cls in (Governor, KestrelBoundary, KestrelReceipt, KestrelViolation, MonotonicCounter):
            with self.subTest(cls.__name__):
                with self.assertRaises(TypeError):
                    object.__new__(cls)


class ReentrancyTest(unittest.TestCase):
    """Arguments whose conversion calls back into the very object being called."""

    def test_conversion_authorizes_on_the_same_boundary(self):
        boundary = KestrelBoundary(rate_limit=2**64 - 1, hmac_key=KEY)
        inner = []

        class Reenter:
            def __init__(self, fail):
                self.fail = fail

            def __float__(self):
                inner.append(boundary.authorize_action(9, 0.0, 0.0).sequence_id)
                if self.fail:
                    raise Boom("after re-entering")
                return 0.5

            __index__ = lambda self: int(self.__float__())  # noqa: E731

        for position in range(3):
            with self.subTest(argument=position):
                inner.clear()
                args = [0, 0.0, 0.0]
                args[position] = Reenter(fail=False)
                outer = boundary.authorize_action(*args)
                # The inner call ran to completion before the outer one took the lock.
                self.assertEqual(outer.sequence_id, inner[0] + 1)
                self.assertTrue(outer.verify(KEY))

                inner.clear()
                args[position] = Reenter(fail=True)
                with self.assertRaises(Boom):
                    boundary.authorize_action(*args)
                self.assertEqual(boundary.authorize_action(0, 0.0, 0.0).sequence_id, inner[0] + 1)

    def test_batch_reenters_on_the_list_it_reads(self):
        governor = Governor(-1.0, 1.0)
        items = []
        nested = []
        depth = []

        class Reenter:
            def __float__(self):
                depth.append(1)
                if len(depth) == 1:
                    nested.append(governor.project_batch(items))
                items.append(3.0)
                return 0.75

        items[:] = [Reenter(), 0.5]
        self.assertEqual(governor.project_batch(items), [0.75, 0.5, 1.0, 1.0])
        self.assertEqual(nested, [[0.75, 0.5, 1.0]])

    def test_batch_result_is_out_of_reach_while_it_is_built(self):
        # An exact float comes back as the same object, so the list that
        # refers to it besides the input is the result under construction.
        # Code run by an element must not be able to find it and change it.
        governor = Governor(-1.0, 1.0)
        found = []

        class Meddler:
            def __init__(self, action):
                self.action = action

            def __float__(self):
                known = (self.items, getattr(self.items, "items", None))  # the input and its storage
                for referrer in gc.get_referrers(self.marker):
                    if type(referrer) is list and not any(referrer is k for k in known):
                        found.append(repr(referrer))
                        self.action(referrer)
                return 0.5

        actions = [("clear", list.clear), ("append", lambda result: result.append("junk")),
                   ("replace", lambda result: result.__setitem__(2, "junk"))]
        for name, action in actions:
            for wrap in (list, tuple, Sequence):
                with self.subTest(action=name, sequence=wrap.__name__):
                    found.clear()
                    meddler = Meddler(action)
                    meddler.marker = marker = float("0.125")  # a new object each time
                    meddler.items = items = wrap([marker, meddler, 0.25])
                    self.assertEqual(governor.project_batch(items), [0.125, 0.5, 0.25])
                    self.assertEqual(found, [])


if __name__ == "__main__":
    unittest.main()
