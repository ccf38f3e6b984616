"""ProvenanceTracker: registry, protection, codec, explanations and overridable dispatch."""

import enum
import inspect
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tallyra.utilities.korval32 as kv
from tallyra.utilities.korval32 import OpCode, ProvenanceInfo, ProvenanceTracker, _hash_entity

CONSTANTS = [("MAX_PAIRS", 512), ("MODE_01", 0), ("MODE_2", 1), ("MODE_3", 2), ("MODE_DENSE", 3),
             ("HEADER_BITS", 6), ("PAYLOAD_BITS", 26), ("MODE_SHIFT", 30), ("TAINT_SHIFT", 29),
             ("DEPTH_SHIFT", 26), ("PAYLOAD_MASK", 0x3FFFFFF), ("MODE_01_PAIR_BITS", 10),
             ("MODE_01_ENTITY_BITS", 8), ("MODE_01_CHAIN_BITS", 8), ("MODE_2_PAIR_BITS", 17),
             ("MODE_2_ENTITY_BITS", 5), ("MODE_2_CHAIN_BITS", 4), ("MODE_3_PAIR_BITS", 25),
             ("MODE_DENSE_SIG_BITS", 26), ("MAX_DEPTH", 7)]


def test_constants_in_order():
    names = [name for name in vars(kv) if name.isupper() and not name.startswith("_")]
    assert names == [name for name, _ in CONSTANTS]
    for name, value in CONSTANTS:
        assert getattr(kv, name) == value and type(getattr(kv, name)) is int


def test_opcodes_and_info():
    assert not issubclass(OpCode, enum.Enum) and type(OpCode.ADD) is int
    assert OpCode.__doc__ == "Operation codes for chain hash computation."
    assert [OpCode.RAW, OpCode.ADD, OpCode.SUB, OpCode.MUL, OpCode.DIV, OpCode.NEG, OpCode.CLIP,
            OpCode.FILL, OpCode.MAP, OpCode.CMP, OpCode.MERGE, OpCode.AGG, OpCode.CUSTOM] == [
        0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 15]
    assert ProvenanceInfo._fields == ("pairs", "entity", "chain", "taint", "depth", "mode")
    assert kv.__doc__.splitlines()[0] == "KORVAL-32: 32-bit Provenance Encoding with Gradient Taint Model."
    assert "risk(p) = taint(p) * 1/(1 + depth(p))" in kv.__doc__


def test_registration():
    t = ProvenanceTracker()
    assert t.register("t", "a") == 0
    assert t.register("t", "b", True) == 1
    assert t.register("t", "a") == 0
    assert (t.get_id("t", "b"), t.get_name(1), t.get_name(2)) == (1, ("t", "b"), None)
    t.register("t", "c", True)
    t.register("t", "c", False)
    assert ("t", "c") in t._protected_columns
    assert t.register_table("u", ["x", "x", "y"]) == [3, 3, 4]


def test_limit_raises_value_error_and_changes_nothing():
    t = ProvenanceTracker()
    t.register_table("t", [str(i) for i in range(512)])
    with pytest.raises(ValueError, match="^Maximum 512 pairs supported$"):
        t.register("t", "new")
    assert t.register("t", "17") == 17
    assert t.stats()["registered_pairs"] == 512
    assert t.get_id("t", "new") is None


def test_is_protected():
    t = ProvenanceTracker()
    t.register("t", "c", True)
    t.register("t", "", True)
    assert t.is_protected("t", "c") and not t.is_protected("t")
    assert not t.is_protected("t", "")  # an empty column counts as absent
    t._protected_tables.add("t")
    assert t.is_protected("t") and t.is_protected("t", "anything")


@pytest.mark.parametrize(("call", "fragment"), [
    (lambda t: t.register(5, "a"), "table"),
    (lambda t: t.register("t", None), "column"),
    (lambda t: t.register_table("t", ("a", "b")), "columns"),
    (lambda t: t.register_table(None, ["a"]), "table"),
    (lambda t: t.get_id("t", 3), "column"),
    (lambda t: t.is_protected(None), "table"),
    (lambda t: t.is_protected("t", 3), "column"),
    (lambda t: t.encode([1, 2]), "pairs"),
    (lambda t: t.encode(frozenset({1})), "pairs"),
    (lambda t: t.encode((1,)), "pairs"),
    (lambda t: t.encode({1}, entity="5"), "entity"),
    (lambda t: t.combine(1, "2"), "prov_b"),
    (lambda t: t.update_chain(1, None), "op"),
    (lambda t: t.get_name("0"), "pair_id"),
    (lambda t: ProvenanceTracker.get_depth("1"), "provenance"),
    (lambda t: t.contains_table(1, 2), "table"),
])
def test_wrong_types_raise_type_error_before_any_change(call, fragment):
    t = ProvenanceTracker()
    with pytest.raises(TypeError, match=fragment):
        call(t)
    assert t.stats()["registered_pairs"] == 0 and t._name_to_id == {} and t._id_to_name == {}


def test_numbers_of_every_kind_are_accepted():
    t = ProvenanceTracker()
    w = t.encode({5}, np.uint32(0xAB), 0x12, np.bool_(True), np.int64(2))
    assert w == 0x2806AB12
    assert t.decode(np.uint32(w)) == {5}
    assert t.get_depth(float(w)) == 2
    assert t.combine(np.uint32(w), 0.0) == w
    with pytest.raises(OverflowError):
        t.combine(-1, 0)


def test_worked_word():
    t = ProvenanceTracker()
    w = t.encode({5}, 0xAB, 0x12, True, 2)
    assert w == 0x2806AB12
    assert ProvenanceTracker.read_header(w) == (0, True, 2)
    assert t.get_mode(w) == "EXACT-1"
    assert ProvenanceTracker.risk_score(w) == 0.3333333333333333
    assert t.explain_full(w)["provenance_hex"] == "0x2806AB12"
    assert t.encode(set()) == 0 and t.get_mode(0) == "EXACT-0"
    assert t.decode_full(w) == ProvenanceInfo({5}, 171, 18, True, 2, "EXACT-1")


@pytest.mark.parametrize(("word", "mode"), [
    (0, "EXACT-0"), (0x00010000, "EXACT-1"), (0x40000000, "EXACT-2"), (0x80000000, "EXACT-3"),
    (0xC0000000, "DENSE")])
def test_get_mode(word, mode):
    assert ProvenanceTracker().get_mode(word) == mode


@pytest.mark.parametrize(("word", "risk"), [(0x20000000, 1.0), (0x3C000000, 0.125), (0x1C000000, 0.0)])
def test_risk(word, risk):
    assert ProvenanceTracker.risk_score(word) == risk
    assert ProvenanceTracker().risk_score(word) == risk


def test_header_readers_need_no_native_call():
    assert ProvenanceTracker.read_header(0xAC0000B6) == (2, True, 3)
    assert ProvenanceTracker.is_tainted(0xAC0000B6) is True
    assert ProvenanceTracker.get_depth(0xAC0000B6) == 3


def test_dense_record():
    t = ProvenanceTracker()
    w = t.encode({0, 1, 2, 3})
    assert t.stats()["dense_entries"] == 1
    t.encode({0, 1, 2, 3})
    t.encode({0, 1, 2})
    assert t.stats()["dense_entries"] == 1
    assert t._dense[w & 0x3FFFFFF] == {"pairs": frozenset({0, 1, 2, 3}), "entity": 0, "chain": 0}


@pytest.mark.parametrize(("row", "expected"), [(None, 0), (42, 42), (-1, 4294967294), (2**64 + 5, hash(2**64 + 5) & 0xFFFFFFFF)])
def test_hash_entity(row, expected):
    assert _hash_entity(row) == expected
    assert ProvenanceTracker().entity_from_row(row) == expected


def test_hash_entity_of_unhashable_raises():
    with pytest.raises(TypeError):
        _hash_entity([1])


def test_explanations():
    t = ProvenanceTracker()
    ids = [t.register("a", "x"), t.register("b", "y"), t.register("a", "z", True)]
    w = t.encode(set(ids), 0, 0, False, 1)
    assert t.explain(w) == [("a", "x"), ("b", "y"), ("a", "z")]
    assert t.explain_tables(w) == ["a", "b"]
    assert t.contains_table(w, "b") and not t.contains_table(w, "c")
    assert t.contains(w, ids[1]) and not t.contains(w, 7)
    assert list(t.explain_full(w)) == ["pairs", "pair_ids", "entity", "chain", "taint", "depth",
                                       "risk", "mode", "provenance_hex"]
    assert t.explain_full(w)["pair_ids"] == ids
    assert t.has_protected(w)


def test_has_protected_counts_whole_table_marks():
    t = ProvenanceTracker()
    pid = t.register("loans", "amount")
    t._protected_tables.add("loans")
    t._native.mark_table_protected("loans")
    w = t.encode({pid})
    assert t.has_protected(w) is True
    assert t._native.has_protected(w) is False


def test_stats_and_default_op():
    t = ProvenanceTracker()
    assert t.stats() == {"registered_pairs": 0, "dense_entries": 0, "protected_tables": [],
                         "protected_columns": [], "encoding": "KORVAL-32"}
    t.register("t", "c", True)
    assert t.stats()["protected_columns"] == ["t.c"]
    a, b = t.encode({1}), t.encode({2})
    assert t.combine(a, b) == t.combine(a, b, 1) == t._native.combine(a, b, OpCode.ADD)


# ---- dispatch through the instance --------------------------------------------------------------

class Recording(ProvenanceTracker):
    """Records every call of the overridden methods and lets them through."""

    def __init__(self, overridden):
        super().__init__()
        self.calls = []
        for name in overridden:
            original = getattr(ProvenanceTracker, name)
            bound = () if isinstance(inspect.getattr_static(ProvenanceTracker, name),
                                     staticmethod) else (self,)

            def wrapper(*args, _name=name, _original=original, _bound=bound, **kwargs):
                self.calls.append(_name)
                return _original(*_bound, *args, **kwargs)

            setattr(self, name, wrapper)


@pytest.mark.parametrize(("caller", "callee"), [
    ("register_table", "register"), ("decode", "decode_full"), ("explain", "decode"),
    ("explain", "get_name"), ("explain_full", "decode_full"), ("explain_full", "get_name"),
    ("explain_full", "risk_score"), ("explain_tables", "explain"), ("has_protected", "explain"),
    ("has_protected", "is_protected"), ("contains", "decode"), ("contains_table", "explain_tables"),
])
def test_methods_dispatch_through_the_instance(caller, callee):
    t = Recording([callee])
    t._protected_tables.add("other")
    pid = ProvenanceTracker.register(t, "t", "c")
    word = t.encode({pid})
    args = {"register_table": ("t", ["c", "d"]), "contains": (word, pid),
            "contains_table": (word, "t")}.get(caller, (word,))
    getattr(t, caller)(*args)
    assert callee in t.calls


def test_entity_from_row_calls_the_module_function(monkeypatch):
    monkeypatch.setattr(kv, "_hash_entity", lambda row: 99)
    assert ProvenanceTracker().entity_from_row("x") == 99


def test_missing_native_module_raises_import_error_with_two_lines(tmp_path):
    script = textwrap.dedent("""
        import sys
        sys.modules["tallyra._korval32"] = None  # as if it had never been built
        try:
            import tallyra.utilities.korval32
        except ImportError as e:
            print(repr(str(e)))
            print(isinstance(e.__context__, ImportError))
    """)
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          cwd=tmp_path, timeout=60)
    assert proc.returncode == 0, proc.stderr
    message, context = proc.stdout.splitlines()
    lines = eval(message).splitlines()
    assert len(lines) == 2
    assert "native extension" in lines[0] and "pip install ." in lines[0]
    assert "README" in lines[1] and "Building" in lines[1]
    assert "fallback" not in eval(message)
    assert context == "True"


@pytest.mark.parametrize(("name", "first_line"), [
    ("register", "Register a (table, column) pair and return its ID (0-511)."),
    ("register_table", "Register all columns for a table. Returns list of pair IDs."),
    ("get_name", "Get (table, column) for a pair ID."),
    ("get_id", "Get pair ID for a (table, column)."),
    ("is_protected", "Check if a table or specific column is a protected attribute."),
    ("encode", "Encode provenance to 32-bit value."),
    ("decode", "Decode to pair IDs only (legacy API)."),
    ("decode_full", "Decode 32-bit provenance to full ProvenanceInfo."),
    ("read_header", "Extract (mode, taint, depth) from header bits."),
    ("is_tainted", "O(1) taint check — no decoding needed."),
    ("get_depth", "O(1) depth read — no decoding needed."),
    ("risk_score", "risk = taint * 1/(1 + depth).  Returns float in [0.0, 1.0]."),
    ("get_mode", "Human-readable mode name."),
    ("explain", "Decode to human-readable (table, column) names."),
    ("explain_full", "Full provenance explanation including taint, depth, risk."),
    ("explain_tables", "Unique table names from provenance."),
    ("has_protected", "Check if provenance uses any protected tables/columns."),
    ("combine", "Combine two provenances.  pairs=union, entity=XOR, taint=OR, depth=max+1."),
    ("update_chain", "Update provenance with a unary operation. Depth += 1, taint preserved."),
    ("contains", "Check if a pair is in the provenance."),
    ("contains_table", "Check if a table is in the provenance."),
    ("entity_from_row", "Create entity hash from a row identifier."),
    ("stats", "Tracker statistics."),
])
def test_method_docstrings(name, first_line):
    assert getattr(ProvenanceTracker, name).__doc__.splitlines()[0] == first_line


def test_methods_in_class_order():
    declared = [n for n, v in vars(ProvenanceTracker).items()
                if not n.startswith("_") and callable(getattr(ProvenanceTracker, n))]
    assert declared == ["register", "register_table", "get_name", "get_id", "is_protected",
                        "encode", "decode", "decode_full", "read_header", "is_tainted",
                        "get_depth", "risk_score", "get_mode", "explain", "explain_full",
                        "explain_tables", "has_protected", "combine", "update_chain", "contains",
                        "contains_table", "entity_from_row", "stats"]


def test_register_and_encode_docstrings_carry_their_args():
    doc = ProvenanceTracker.register.__doc__
    assert "Source table/file name" in doc and "Column name" in doc
    assert "If True, marks the source as a protected attribute.\n" in doc
    assert [line.strip() for line in doc.splitlines() if line.strip()][-1] == (
        "Values derived from this source will carry taint=1.")
    for text in ("Set of source pair IDs (0-511)", "Row identifier hash (truncated to fit mode)",
                 "Computation path hash (truncated to fit mode)",
                 "True if value derives from protected data",
                 "Derivation distance from source (0-7, saturates)", "32-bit provenance value"):
        assert text in ProvenanceTracker.encode.__doc__
