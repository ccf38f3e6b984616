"""The module surface of tallyra._korval32: contents, signatures, docstrings, argument rules."""

import importlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tallyra._korval32 as k
from tallyra._korval32 import NativeProvenanceTracker as NPT

OPS = [("OP_RAW", 0), ("OP_ADD", 1), ("OP_SUB", 2), ("OP_MUL", 3), ("OP_DIV", 4),
       ("OP_NEG", 5), ("OP_CLIP", 6), ("OP_FILL", 7), ("OP_MAP", 8), ("OP_CMP", 9),
       ("OP_MERGE", 10), ("OP_AGG", 11), ("OP_CUSTOM", 15)]

BATCH = ["combine_batch", "update_chain_batch", "encode_source_column", "is_tainted_batch",
         "risk_score_batch", "explain_batch"]


def test_all_lists_the_contents_in_order():
    assert k.__all__ == ["NativeProvenanceTracker", *BATCH, *(name for name, _ in OPS)]
    public = [name for name in vars(k) if not name.startswith("_") and name != "InternalError"]
    assert public == k.__all__


@pytest.mark.parametrize(("name", "value"), OPS)
def test_op_codes(name, value):
    assert getattr(k, name) == value
    assert type(getattr(k, name)) is int


METHODS = [
    ("register", "($self, table, column, protected)",
     "Register a single (table, column) pair. Returns the assigned pair_id."),
    ("register_table", "($self, table, columns, protected)",
     "Register all columns in a table at once. Returns a list of pair_ids."),
    ("get_name", "($self, pair_id)", "Look up the (table, column) name for a pair_id."),
    ("get_id", "($self, table, column)", "Look up the pair_id for a (table, column) name."),
    ("mark_table_protected", "($self, table)", "Mark an entire table as protected."),
    ("is_protected", "($self, table, column=None)",
     "Check whether a table (or specific column within it) is marked protected."),
    ("encode", "($self, pairs, entity, chain, taint, depth)",
     "Encode a provenance word from its constituent parts."),
    ("decode_full", "($self, prov)",
     "Decode a provenance word into a Python dict with keys:\npairs, entity, chain, taint, depth, mode."),
    ("decode", "($self, prov)", "Decode only the pair_ids from a provenance word."),
    ("combine", "($self, prov_a, prov_b, op)",
     "Combine two provenance words under the given operation code."),
    ("update_chain", "($self, prov, op)",
     "Append an operation to the chain of a single provenance word."),
    ("explain", "($self, prov)", "Explain a provenance word as a list of (table, column) names."),
    ("has_protected", "($self, prov)",
     "Return True if the provenance word references any protected column."),
    ("contains", "($self, prov, pair_id)",
     "Return True if the provenance word contains the given pair_id."),
    ("is_tainted", "(prov)", "Return True if the taint bit is set on a provenance word."),
    ("get_depth", "(prov)", "Extract the chain depth from a provenance word."),
    ("risk_score", "(prov)", "Compute a risk score in [0.0, 1.0] for a provenance word."),
    ("read_header", "(prov)",
     "Read the 2-bit header from a provenance word.\nReturns (mode, taint_bit_set, depth)."),
]


def test_methods_are_declared_in_order():
    declared = [name for name in vars(NPT) if not name.startswith("_")]
    assert declared == [name for name, _, _ in METHODS]


@pytest.mark.parametrize(("name", "signature", "doc"), METHODS)
def test_method_signature_and_doc(name, signature, doc):
    method = getattr(NPT, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


FUNCTIONS = [
    ("combine_batch", "(tracker, prov_a, prov_b, op)",
     "Combine two provenance arrays element-wise under a single op code.\n"
     "Replaces the per-row Python loop in TrackedSeries._binop()."),
    ("update_chain_batch", "(tracker, prov, op)",
     "Apply a unary chain operation to every element of a provenance array.\n"
     "Replaces the per-row Python loop in TrackedSeries._unop()."),
    ("encode_source_column", "(tracker, pair_id, entity_hashes, taint)",
     "Encode an entire source column in one call."),
    ("is_tainted_batch", "(prov)",
     "Check the taint bit for every element of a provenance array.\nReturns a boolean NumPy array."),
    ("risk_score_batch", "(prov)",
     "Compute a risk score in [0.0, 1.0] for every element of a provenance array."),
    ("explain_batch", "(tracker, prov)",
     "Explain every element of a provenance array.\n"
     "Returns a list of lists of (table, column) tuples."),
]


@pytest.mark.parametrize(("name", "signature", "opening"), FUNCTIONS)
def test_function_signature_and_doc(name, signature, opening):
    fn = getattr(k, name)
    assert fn.__text_signature__ == signature
    assert fn.__doc__.startswith(opening + "\n")


@pytest.mark.parametrize("name", ["is_tainted", "get_depth", "risk_score", "read_header"])
def test_static_methods_work_on_class_and_instance(name, tracker):
    word = 0x2C0000B6  # tainted, depth 3
    assert getattr(NPT, name)(word) == getattr(tracker, name)(word)
    assert getattr(NPT, name)(prov=word) == getattr(tracker, name)(word)


def test_internal_error_is_a_base_exception_outside_all():
    assert k.InternalError.__bases__ == (BaseException,)
    assert not issubclass(k.InternalError, Exception)
    assert "InternalError" not in k.__all__


def test_constructor_takes_no_arguments():
    with pytest.raises(TypeError):
        NPT("x")
    with pytest.raises(TypeError):
        NPT(x=1)
    assert NPT.__text_signature__ == "()"


def test_second_import_returns_the_same_module():
    assert importlib.import_module("tallyra._korval32") is k
    saved = sys.modules.pop("tallyra._korval32")
    try:
        assert importlib.import_module("tallyra._korval32") is saved
    finally:
        sys.modules["tallyra._korval32"] = saved


def test_import_from_a_sub_interpreter_fails(tmp_path):
    # In a fresh process, so the sub-interpreter is the only other one.
    out = tmp_path / "result.txt"
    script = textwrap.dedent(f"""
        import tallyra._korval32
        code = '''
        try:
            import tallyra._korval32
            result = "imported"
        except ImportError as e:
            result = "ImportError: " + str(e)
        open({str(out)!r}, "w").write(result)
        '''
        try:
            import _testcapi
            _testcapi.run_in_subinterp(code)
        except ImportError:
            import _xxsubinterpreters as interpreters
            interp = interpreters.create()
            interpreters.run_string(interp, code)
    """)
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60, cwd=tmp_path)
    if proc.returncode != 0 and "No module named" in proc.stderr:
        pytest.skip("this interpreter has no way to start a sub-interpreter")
    assert proc.returncode == 0, proc.stderr
    result = out.read_text()
    assert result.startswith("ImportError: ")
    assert "sub-interpreters" in result


# ---- argument conversion ------------------------------------------------------------------

class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("value", [5, True, np.uint8(5), np.int64(5), np.uint32(5), Index(5)])
def test_integer_arguments_take_anything_with_index(tracker, value):
    assert tracker.get_depth(value) == NPT.get_depth(int(value))
    assert tracker.combine(value, 0, value) == int(value)


@pytest.mark.parametrize(("call", "exc", "fragment"), [
    (lambda t: t.combine(1.0, 0, 0), TypeError, "'prov_a' must be int, not float"),
    (lambda t: t.combine(0, "1", 0), TypeError, "'prov_b' must be int, not str"),
    (lambda t: t.combine(0, 0, None), TypeError, "'op' must be int, not NoneType"),
    (lambda t: t.combine(-1, 0, 0), OverflowError, "'prov_a'"),
    (lambda t: t.combine(0, 0, 2**32), OverflowError, "'op'"),
    (lambda t: t.update_chain(2**64, 0), OverflowError, "'prov'"),
    (lambda t: t.get_name(70000), OverflowError, "'pair_id'"),
    (lambda t: t.get_name(-1), OverflowError, "'pair_id'"),
    (lambda t: t.contains(0, 65536), OverflowError, "'pair_id'"),
    (lambda t: t.encode([65536], 0, 0, False, 0), OverflowError, "'pairs' item 0"),
    (lambda t: t.encode([1, "2"], 0, 0, False, 0), TypeError, "'pairs' item 1 must be int"),
    (lambda t: t.encode("abc", 0, 0, False, 0), TypeError, "'pairs' must be a sequence"),
    (lambda t: t.encode({1, 2}, 0, 0, False, 0), TypeError, "'pairs' must be a sequence"),
    (lambda t: t.encode({1: 2}, 0, 0, False, 0), TypeError, "'pairs' must be a sequence"),
    (lambda t: t.encode(iter([1]), 0, 0, False, 0), TypeError, "'pairs' must be a sequence"),
    (lambda t: t.encode(np.zeros((2, 2), np.uint32), 0, 0, False, 0), TypeError, "'pairs' item 0"),
    (lambda t: t.encode([1], -1, 0, False, 0), OverflowError, "'entity'"),
    (lambda t: t.encode([1], 0, 2**32, False, 0), OverflowError, "'chain'"),
    (lambda t: t.encode([1], 0, 0, 1, 0), TypeError, "'taint' must be bool, not int"),
    (lambda t: t.encode([1], 0, 0, None, 0), TypeError, "'taint' must be bool"),
    (lambda t: t.encode([1], 0, 0, False, -1), OverflowError, "'depth'"),
    (lambda t: t.register(b"t", "c", False), TypeError, "'table' must be str, not bytes"),
    (lambda t: t.register("t", None, False), TypeError, "'column' must be str"),
    (lambda t: t.register("t", "c", 0), TypeError, "'protected' must be bool, not int"),
    (lambda t: t.register_table("t", "ab", False), TypeError, "'columns' must be a sequence"),
    (lambda t: t.register_table("t", ["a", 1], False), TypeError, "'columns' item 1 must be str"),
    (lambda t: t.is_protected("t", 3), TypeError, "'column' must be str or None"),
    (lambda t: t.mark_table_protected(None), TypeError, "'table' must be str"),
    (lambda t: t.get_id("t", 1), TypeError, "'column' must be str"),
])
def test_conversion_errors_name_the_argument(tracker, call, exc, fragment):
    with pytest.raises(exc) as info:
        call(tracker)
    assert fragment in str(info.value)


@pytest.mark.parametrize(("call", "fragment"), [
    (lambda t: t.register("t", "c"), "missing required argument 'protected' (pos 3)"),
    (lambda t: t.register("t", "c", False, True), "takes at most 3 arguments (4 given)"),
    (lambda t: t.register("t", "c", protect=False), "'protect' is an invalid keyword argument"),
    (lambda t: t.combine(0, 0, prov_a=0), "given by name ('prov_a') and position (1)"),
    (lambda t: NPT.is_tainted(), "missing required argument 'prov' (pos 1)"),
    (lambda t: k.risk_score_batch(), "missing required argument 'prov' (pos 1)"),
])
def test_argument_count_errors(tracker, call, fragment):
    with pytest.raises(TypeError) as info:
        call(tracker)
    assert fragment in str(info.value)


def test_arguments_by_keyword(tracker):
    pid = tracker.register(column="c", protected=np.bool_(True), table="t")
    assert tracker.is_protected(table="t", column="c")
    assert tracker.register_table(protected=False, columns=("c", "d"), table="t") == [pid, pid + 1]
    word = tracker.encode(depth=2, taint=True, chain=0x12, entity=0xAB, pairs=np.array([5]))
    assert word == 0x2806AB12
    assert tracker.contains(pair_id=5, prov=word)
    words = np.array([word], dtype=np.uint32)
    assert k.combine_batch(op=1, prov_b=words, prov_a=words, tracker=tracker).tolist() == [
        tracker.combine(word, word, 1)]


@pytest.mark.parametrize("flag", [True, False, np.bool_(True), np.bool_(False)])
def test_flags_take_python_and_numpy_bools(tracker, flag):
    pid = tracker.register("t", "c", flag)
    assert tracker.is_protected("t", "c") is bool(flag)
    assert k.encode_source_column(tracker, pid, np.zeros(1, np.uint32), flag)[0] >> 29 == bool(flag)


def test_strings_round_trip_exactly(tracker):
    names = ["", "naïve", "日本", "a\x00b", "\ud800lone", "🙂"]
    ids = tracker.register_table("tbl\udcff", names, False)
    for pid, name in zip(ids, names):
        assert tracker.get_name(pid) == ("tbl\udcff", name)
        assert tracker.get_id("tbl\udcff", name) == pid


class StrSub(str):
    pass


def test_str_subclasses_are_text(tracker):
    pid = tracker.register(StrSub("t"), StrSub("c"), False)
    assert tracker.get_id("t", "c") == pid
    assert type(tracker.get_name(pid)[0]) is str


# ---- word arrays ----------------------------------------------------------------------------

ARRAY_CALLS = {
    "combine_batch": lambda t, a: k.combine_batch(t, a, a, 1),
    "update_chain_batch": lambda t, a: k.update_chain_batch(t, a, 1),
    "encode_source_column": lambda t, a: k.encode_source_column(t, 0, a, False),
    "is_tainted_batch": lambda t, a: k.is_tainted_batch(a),
    "risk_score_batch": lambda t, a: k.risk_score_batch(a),
    "explain_batch": lambda t, a: k.explain_batch(t, a),
}

BAD_ARRAYS = [
    pytest.param(np.arange(4, dtype=np.int64), id="int64"),
    pytest.param(np.arange(4, dtype=np.int32), id="int32"),
    pytest.param(np.arange(4, dtype=np.uint64), id="uint64"),
    pytest.param(np.arange(4, dtype=np.float32), id="float32"),
    pytest.param(np.arange(4, dtype=np.dtype(np.uint32).newbyteorder()), id="byteswapped"),
    pytest.param(np.zeros((2, 2), dtype=np.uint32), id="2-D"),
    pytest.param(np.uint32(3), id="scalar"),
    pytest.param([1, 2, 3], id="list"),
    pytest.param(np.array([None], dtype=object), id="object"),
    pytest.param(np.array(["2020-01-01"], dtype="datetime64[D]"), id="datetime"),
    pytest.param(memoryview(np.arange(4, dtype=np.uint32)), id="memoryview"),
]


@pytest.mark.parametrize("name", ARRAY_CALLS)
@pytest.mark.parametrize("bad", BAD_ARRAYS)
def test_word_arrays_must_be_1d_uint32_ndarrays(tracker, name, bad):
    with pytest.raises(TypeError) as info:
        ARRAY_CALLS[name](tracker, bad)
    assert "numpy.ndarray of dtype uint32" in str(info.value)


@pytest.mark.parametrize("name", ARRAY_CALLS)
def test_strided_arrays_are_not_contiguous(tracker, name):
    data = np.arange(10, dtype=np.uint32)
    for view in (data[::2], data[::-1]):
        with pytest.raises(TypeError, match="^The given array is not contiguous$"):
            ARRAY_CALLS[name](tracker, view)
    ARRAY_CALLS[name](tracker, np.ascontiguousarray(data[::2]))


def test_contiguity_is_checked_after_every_argument_converts(tracker):
    strided = np.arange(10, dtype=np.uint32)[::2]
    with pytest.raises(TypeError, match="'prov_b'"):
        k.combine_batch(tracker, strided, [1], 1)
    with pytest.raises(OverflowError, match="'op'"):
        k.combine_batch(tracker, strided, strided, -1)


def test_tracker_argument_must_be_the_native_tracker(tracker):
    class Facade:
        _native = tracker

    words = np.zeros(2, np.uint32)
    for call in (lambda t: k.combine_batch(t, words, words, 1),
                 lambda t: k.update_chain_batch(t, words, 1),
                 lambda t: k.encode_source_column(t, 0, words, False),
                 lambda t: k.explain_batch(t, words)):
        with pytest.raises(TypeError, match="'tracker' must be NativeProvenanceTracker, not Facade"):
            call(Facade())


@pytest.mark.parametrize("name", ARRAY_CALLS)
def test_read_only_and_subclassed_arrays_are_accepted(tracker, name):
    data = np.arange(6, dtype=np.uint32)
    data.flags.writeable = False
    ARRAY_CALLS[name](tracker, data)
    ARRAY_CALLS[name](tracker, np.arange(6, dtype=np.uint32).view(np.ma.MaskedArray))
    ARRAY_CALLS[name](tracker, np.arange(6, dtype="=u4"))


@pytest.mark.parametrize(("name", "dtype"), [
    ("combine_batch", np.uint32), ("update_chain_batch", np.uint32),
    ("encode_source_column", np.uint32), ("is_tainted_batch", np.bool_),
    ("risk_score_batch", np.float64)])
def test_outputs_are_new_writable_arrays(tracker, name, dtype):
    data = np.arange(0, 2**32, 2**32 // 7, dtype=np.uint32)
    before = data.copy()
    out = ARRAY_CALLS[name](tracker, data)
    assert type(out) is np.ndarray and out.dtype == dtype and out.ndim == 1
    assert len(out) == len(data)
    assert out.flags.writeable and out.flags.owndata and out.flags.c_contiguous
    assert not np.shares_memory(out, data)
    np.testing.assert_array_equal(data, before)
    empty = ARRAY_CALLS[name](tracker, np.empty(0, np.uint32))
    assert empty.dtype == dtype and empty.shape == (0,)


def test_explain_batch_of_nothing_is_an_empty_list(tracker):
    assert k.explain_batch(tracker, np.empty(0, np.uint32)) == []
