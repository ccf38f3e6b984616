"""KORVAL-32: 32-bit Provenance Encoding with Gradient Taint Model.

Every cell of a tracked column carries one 32-bit provenance word. Its 6-bit header is laid out
identically in every mode::

    bit  31  30   29   28  27  26   25 ........................... 0
        [ mode:2 ][ T:1 ][ depth:3 ][ payload:26 ]

- taint T: 1 when the value derives from a protected source; propagates by OR.
- depth: derivation distance from the sources; max(a, b) + 1, saturating at 7.
- risk(p) = taint(p) * 1/(1 + depth(p))

Payload layouts, most significant bits first:

- mode 00 (0-1 pairs): pair_data (10 bits, pair id + 1, 0 = none) | entity (8) | chain (8)
- mode 01 (2 pairs):   colex rank of {a < b} (17)                  | entity (5) | chain (4)
- mode 10 (3 pairs):   colex rank of {a < b < c} (25)              | reserved bit, 0
- mode 11 (4+ pairs):  26-bit signature of an entry in the tracker's dense registry

Algebra of a value computed from two operands:

    ========  =================================
    pairs     union
    entity    XOR
    chain     hash combine with the op code
    taint     OR
    depth     max + 1 (saturating at 7)
    ========  =================================
"""

from __future__ import annotations

import math
import numbers
import operator
from typing import Any, Callable, Dict, Hashable, List, NamedTuple, Optional, Set, Tuple

import numpy as np
import pandas as pd

try:
    from tallyra._korval32 import (
        NativeProvenanceTracker,
        combine_batch,
        encode_source_column,
        explain_batch,
        is_tainted_batch,
        risk_score_batch,
        update_chain_batch,
    )
except ImportError:
    raise ImportError(
        "KORVAL-32 native extension (tallyra._korval32) not found: build and install it with "
        "`pip install .` from the project root.\n"
        "See the section 'Building' of the project's README.md for what the build needs."
    )

__all__ = [
    "MAX_PAIRS", "MODE_01", "MODE_2", "MODE_3", "MODE_DENSE", "HEADER_BITS", "PAYLOAD_BITS",
    "MODE_SHIFT", "TAINT_SHIFT", "DEPTH_SHIFT", "PAYLOAD_MASK", "MODE_01_PAIR_BITS",
    "MODE_01_ENTITY_BITS", "MODE_01_CHAIN_BITS", "MODE_2_PAIR_BITS", "MODE_2_ENTITY_BITS",
    "MODE_2_CHAIN_BITS", "MODE_3_PAIR_BITS", "MODE_DENSE_SIG_BITS", "MAX_DEPTH",
    "OpCode", "ProvenanceInfo", "ProvenanceTracker", "TrackedSeries", "TrackedDataFrame",
    "wrap_dataframe", "audit", "audit_series_diversity", "provenance_entropy",
    "column_risk_report", "NativeProvenanceTracker", "combine_batch", "update_chain_batch",
    "encode_source_column", "is_tainted_batch", "risk_score_batch", "explain_batch",
]

# ---- constants ---------------------------------------------------------------------------------

MAX_PAIRS = 512
MODE_01 = 0  # mode 00: 0 or 1 pair
MODE_2 = 1  # mode 01: 2 pairs
MODE_3 = 2  # mode 10: 3 pairs
MODE_DENSE = 3  # mode 11: 4 or more pairs
HEADER_BITS = 6
PAYLOAD_BITS = 26
MODE_SHIFT = 30
TAINT_SHIFT = 29
DEPTH_SHIFT = 26
PAYLOAD_MASK = (1 << PAYLOAD_BITS) - 1
MODE_01_PAIR_BITS = 10
MODE_01_ENTITY_BITS = 8
MODE_01_CHAIN_BITS = 8
MODE_2_PAIR_BITS = 17
MODE_2_ENTITY_BITS = 5
MODE_2_CHAIN_BITS = 4
MODE_3_PAIR_BITS = 25
MODE_DENSE_SIG_BITS = 26
MAX_DEPTH = 7


class OpCode:
    """Operation codes for chain hash computation."""

    RAW = 0
    ADD = 1
    SUB = 2
    MUL = 3
    DIV = 4
    NEG = 5
    CLIP = 6
    FILL = 7
    MAP = 8
    CMP = 9
    MERGE = 10
    AGG = 11
    CUSTOM = 15


class ProvenanceInfo(NamedTuple):
    """Full decoded provenance — includes taint and depth from header."""

    pairs: Set[int]
    entity: int
    chain: int
    taint: bool
    depth: int
    mode: str


def _hash_entity(row_id: Any) -> int:
    """Hash a row identifier to entity bits."""
    if row_id is None:
        return 0
    return hash(row_id) & 0xFFFFFFFF


_builtin_hash_entity = _hash_entity  # what wrap_dataframe's vectorised path computes


# ---- argument checks shared by the tracker's methods ---------------------------------------------

def _text(value: Any, name: str) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be str, not {type(value).__name__}")
    return value


def _int(value: Any, name: str) -> int:
    """Any number (NumPy scalars included), converted with int(); anything else is refused."""
    if type(value) is int:
        return value
    if isinstance(value, (str, bytes, bytearray)) or not (
            isinstance(value, numbers.Number) or hasattr(type(value), "__index__")):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    return int(value)


class ProvenanceTracker:
    """KORVAL-32 provenance tracker with gradient taint model."""

    def __init__(self) -> None:
        self._id_to_name: Dict[int, Tuple[str, str]] = {}
        self._name_to_id: Dict[Tuple[str, str], int] = {}
        self._next_id: int = 0
        self._dense: Dict[int, Dict[str, Any]] = {}
        self._protected_tables: Set[str] = set()
        self._protected_columns: Set[Tuple[str, str]] = set()
        self._native = NativeProvenanceTracker()

    # -- pair registry -------------------------------------------------------------------------

    def register(self, table: str, column: str, protected: Any = False) -> int:
        """Register a (table, column) pair and return its ID (0-511).

        Args:
            table: Source table/file name
            column: Column name
            protected: If True, marks the source as a protected attribute.
                Values derived from this source will carry taint=1.
        """
        key = (_text(table, "table"), _text(column, "column"))
        flag = bool(protected)
        if key in self._name_to_id:
            if flag:
                self._protected_columns.add(key)
            self._native.register(table, column, flag)
            return self._name_to_id[key]
        if self._next_id >= MAX_PAIRS:
            raise ValueError("Maximum " + str(MAX_PAIRS) + " pairs supported")
        pair_id = self._next_id
        self._id_to_name[pair_id] = key
        self._name_to_id[key] = pair_id
        self._next_id += 1
        if flag:
            self._protected_columns.add(key)
        self._native.register(table, column, flag)
        return pair_id

    def register_table(self, table: str, columns: List[str], protected: Any = False) -> List[int]:
        """Register all columns for a table. Returns list of pair IDs."""
        _text(table, "table")
        if not isinstance(columns, list):
            raise TypeError(f"columns must be a list, not {type(columns).__name__}")
        return [self.register(table, col, protected) for col in columns]

    def get_name(self, pair_id: int) -> Optional[Tuple[str, str]]:
        """Get (table, column) for a pair ID."""
        return self._id_to_name.get(_int(pair_id, "pair_id"))

    def get_id(self, table: str, column: str) -> Optional[int]:
        """Get pair ID for a (table, column)."""
        return self._name_to_id.get((_text(table, "table"), _text(column, "column")))

    def is_protected(self, table: str, column: Optional[str] = None) -> bool:
        """Check if a table or specific column is a protected attribute."""
        _text(table, "table")
        if column is not None:
            _text(column, "column")
        if table in self._protected_tables:
            return True
        if column and (table, column) in self._protected_columns:
            return True
        return False

    # -- codec -----------------------------------------------------------------------------------

    def encode(self, pairs: Set[int], entity: int = 0, chain: int = 0, taint: Any = False,
               depth: int = 0) -> int:
        """Encode provenance to 32-bit value.

        Args:
            pairs: Set of source pair IDs (0-511)
            entity: Row identifier hash (truncated to fit mode)
            chain: Computation path hash (truncated to fit mode)
            taint: True if value derives from protected data
            depth: Derivation distance from source (0-7, saturates)

        Returns:
            32-bit provenance value
        """
        if not isinstance(pairs, set):
            raise TypeError(f"pairs must be a set, not {type(pairs).__name__}")
        entity = _int(entity, "entity")
        chain = _int(chain, "chain")
        depth = _int(depth, "depth")
        result = self._native.encode(sorted(pairs), entity, chain, bool(taint), depth)
        if len(pairs) >= 4:
            sig = result & ((1 << MODE_DENSE_SIG_BITS) - 1)
            self._dense[sig] = {"pairs": frozenset(pairs), "entity": entity, "chain": chain}
        return result

    def decode(self, provenance: int) -> Set[int]:
        """Decode to pair IDs only (legacy API)."""
        return self.decode_full(provenance).pairs

    def decode_full(self, provenance: int) -> ProvenanceInfo:
        """Decode 32-bit provenance to full ProvenanceInfo."""
        d = self._native.decode_full(_int(provenance, "provenance"))
        return ProvenanceInfo(pairs=set(d["pairs"]), entity=d["entity"], chain=d["chain"],
                              taint=d["taint"], depth=d["depth"], mode=d["mode"])

    # -- header readers: bit arithmetic only ------------------------------------------------------

    @staticmethod
    def read_header(provenance: int) -> Tuple[int, bool, int]:
        """Extract (mode, taint, depth) from header bits."""
        p = _int(provenance, "provenance")
        return (p >> MODE_SHIFT) & 3, bool((p >> TAINT_SHIFT) & 1), (p >> DEPTH_SHIFT) & 7

    @staticmethod
    def is_tainted(provenance: int) -> bool:
        """O(1) taint check — no decoding needed."""
        return bool((_int(provenance, "provenance") >> TAINT_SHIFT) & 1)

    @staticmethod
    def get_depth(provenance: int) -> int:
        """O(1) depth read — no decoding needed."""
        return (_int(provenance, "provenance") >> DEPTH_SHIFT) & 7

    @staticmethod
    def risk_score(provenance: int) -> float:
        """risk = taint * 1/(1 + depth).  Returns float in [0.0, 1.0]."""
        p = _int(provenance, "provenance")
        if not (p >> TAINT_SHIFT) & 1:
            return 0.0
        return 1.0 / (1.0 + ((p >> DEPTH_SHIFT) & 7))

    def get_mode(self, provenance: int) -> str:
        """Human-readable mode name."""
        p = _int(provenance, "provenance")
        mode = (p >> MODE_SHIFT) & 3
        if mode == MODE_01:
            pair_data = ((p & PAYLOAD_MASK) >> 16) & 1023
            return "EXACT-0" if pair_data == 0 else "EXACT-1"
        if mode == MODE_2:
            return "EXACT-2"
        if mode == MODE_3:
            return "EXACT-3"
        if mode == MODE_DENSE:
            return "DENSE"
        return "UNKNOWN"

    # -- explanations -------------------------------------------------------------------------------

    def explain(self, provenance: int) -> List[Tuple[str, str]]:
        """Decode to human-readable (table, column) names."""
        names = []
        for pid in sorted(self.decode(provenance)):
            name = self.get_name(pid)
            if name:
                names.append(name)
        return names

    def explain_full(self, provenance: int) -> Dict[str, Any]:
        """Full provenance explanation including taint, depth, risk."""
        p = _int(provenance, "provenance")
        info = self.decode_full(p)
        ids = sorted(info.pairs)
        names = [name for name in (self.get_name(pid) for pid in ids) if name is not None]
        return {
            "pairs": names,
            "pair_ids": ids,
            "entity": info.entity,
            "chain": info.chain,
            "taint": info.taint,
            "depth": info.depth,
            "risk": self.risk_score(p),
            "mode": info.mode,
            "provenance_hex": "0x" + format(p, "08X"),
        }

    def explain_tables(self, provenance: int) -> List[str]:
        """Unique table names from provenance."""
        tables: Dict[str, None] = {}
        for table, _column in self.explain(provenance):
            tables.setdefault(table, None)
        return list(tables)

    def has_protected(self, provenance: int) -> bool:
        """Check if provenance uses any protected tables/columns."""
        for table, column in self.explain(provenance):
            if self.is_protected(table, column):
                return True
        return False

    # -- algebra ------------------------------------------------------------------------------------

    def combine(self, prov_a: int, prov_b: int, op: int = OpCode.ADD) -> int:
        """Combine two provenances.  pairs=union, entity=XOR, taint=OR, depth=max+1."""
        return self._native.combine(_int(prov_a, "prov_a"), _int(prov_b, "prov_b"), _int(op, "op"))

    def update_chain(self, provenance: int, op: int) -> int:
        """Update provenance with a unary operation. Depth += 1, taint preserved."""
        return self._native.update_chain(_int(provenance, "provenance"), _int(op, "op"))

    def contains(self, provenance: int, pair_id: int) -> bool:
        """Check if a pair is in the provenance."""
        return _int(pair_id, "pair_id") in self.decode(provenance)

    def contains_table(self, provenance: int, table: str) -> bool:
        """Check if a table is in the provenance."""
        return _text(table, "table") in self.explain_tables(provenance)

    def entity_from_row(self, row_id: Any) -> int:
        """Create entity hash from a row identifier."""
        return _hash_entity(row_id)

    def stats(self) -> Dict[str, Any]:
        """Tracker statistics."""
        return {
            "registered_pairs": self._next_id,
            "dense_entries": len(self._dense),
            "protected_tables": list(self._protected_tables),
            "protected_columns": [table + "." + column for table, column in self._protected_columns],
            "encoding": "KORVAL-32",
        }


# ---- TrackedSeries ---------------------------------------------------------------------------------

def _is_inplace(kwargs: Dict[str, Any]) -> bool:
    return bool(kwargs.get("inplace", False))


def _negate(values: Any) -> Any:
    """-x, except that booleans are inverted as pandas does: NumPy refuses `-` on them, and
    pandas' own where(..., inplace=True), behind clip(inplace=True), negates a boolean mask."""
    if pd.api.types.is_bool_dtype(getattr(values, "dtype", None)):
        return operator.inv(values)
    return -values


class TrackedSeries(pd.Series):
    """Pandas Series with KORVAL-32 provenance (taint + depth aware)."""

    _metadata = ["_prov", "_tracker"]

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        prov = kwargs.pop("_prov", None)
        tracker = kwargs.pop("_tracker", None)
        pd.Series.__init__(self, *args, **kwargs)
        self._prov = np.zeros(len(self), dtype=np.uint32) if prov is None else prov
        self._tracker = tracker

    @property
    def _constructor(self) -> type:
        return TrackedSeries

    def _derived(self, values: Any, prov: np.ndarray, fresh: bool = False) -> "TrackedSeries":
        # `fresh` values were just computed and belong to nobody else: pandas 3 would copy
        # them again by default.
        return TrackedSeries(values, index=self.index, _prov=prov, _tracker=self._tracker,
                             **({"copy": False} if fresh else {}))

    def _binop(self, other: Any, op: Callable[[Any, Any], Any],
               op_code: int = OpCode.ADD) -> "TrackedSeries":
        """Binary operation with taint/depth propagation."""
        op_code = _int(op_code, "op_code")
        right = other.values if hasattr(other, "values") else other
        result_values = op(self.values, right)
        fresh = isinstance(result_values, np.ndarray)
        if isinstance(other, TrackedSeries) and self._tracker:
            new_prov = combine_batch(self._tracker._native, self._prov, other._prov, op_code)
            return self._derived(result_values, np.asarray(new_prov, dtype=np.uint32), fresh)
        return self._derived(result_values, self._prov.copy(), fresh)

    def _unop(self, op: Callable[[Any], Any], op_code: int) -> "TrackedSeries":
        """Unary operation with depth increment."""
        op_code = _int(op_code, "op_code")
        values = op(self.values)
        return self._advance(values, op_code, isinstance(values, np.ndarray))

    def _advance(self, values: Any, op_code: int, fresh: bool = False) -> "TrackedSeries":
        """A new Series of `values` whose words are this Series' words after one unary step."""
        if self._tracker:
            new_prov = update_chain_batch(self._tracker._native, self._prov, op_code)
            return self._derived(values, np.asarray(new_prov, dtype=np.uint32), fresh)
        return self._derived(values, self._prov.copy(), fresh)

    def __add__(self, other: Any) -> "TrackedSeries":
        return self._binop(other, np.add, OpCode.ADD)

    def __sub__(self, other: Any) -> "TrackedSeries":
        return self._binop(other, np.subtract, OpCode.SUB)

    def __mul__(self, other: Any) -> "TrackedSeries":
        return self._binop(other, np.multiply, OpCode.MUL)

    def __truediv__(self, other: Any) -> "TrackedSeries":
        return self._binop(other, np.true_divide, OpCode.DIV)

    def __floordiv__(self, other: Any) -> "TrackedSeries":
        return self._binop(other, np.floor_divide, OpCode.DIV)

    def __pow__(self, other: Any) -> "TrackedSeries":
        return self._binop(other, np.power, OpCode.MUL)

    def __radd__(self, other: Any) -> "TrackedSeries":
        return self._binop(other, lambda a, b: np.add(b, a), OpCode.ADD)

    def __rsub__(self, other: Any) -> "TrackedSeries":
        return self._binop(other, lambda a, b: np.subtract(b, a), OpCode.SUB)

    def __rmul__(self, other: Any) -> "TrackedSeries":
        return self._binop(other, lambda a, b: np.multiply(b, a), OpCode.MUL)

    def __rtruediv__(self, other: Any) -> "TrackedSeries":
        return self._binop(other, lambda a, b: np.true_divide(b, a), OpCode.DIV)

    def __neg__(self) -> "TrackedSeries":
        return self._unop(_negate, OpCode.NEG)

    def __gt__(self, other: Any) -> "TrackedSeries":  # type: ignore[override]
        return self._binop(other, lambda a, b: a > b, OpCode.CMP)

    def __lt__(self, other: Any) -> "TrackedSeries":  # type: ignore[override]
        return self._binop(other, lambda a, b: a < b, OpCode.CMP)

    def __ge__(self, other: Any) -> "TrackedSeries":  # type: ignore[override]
        return self._binop(other, lambda a, b: a >= b, OpCode.CMP)

    def __le__(self, other: Any) -> "TrackedSeries":  # type: ignore[override]
        return self._binop(other, lambda a, b: a <= b, OpCode.CMP)

    def clip(self, lower: Any = None, upper: Any = None, **kwargs: Any) -> Any:  # type: ignore[override]
        if _is_inplace(kwargs):
            # In place, pandas clips the values it holds; the words stay as they are, and the
            # caller gets exactly what pandas returned (None, or the Series itself).
            return pd.Series.clip(self, lower, upper, **kwargs)
        return self._unop(lambda x: np.clip(x, lower, upper), OpCode.CLIP)

    def fillna(self, value: Any = 0, **kwargs: Any) -> Any:  # type: ignore[override]
        result = pd.Series.fillna(self, value, **kwargs)
        # pandas 3 returns the Series itself from an in-place fillna, pandas 2 returns None:
        # either way nothing new was made, so the words stay and pandas' answer is returned.
        if _is_inplace(kwargs) or not isinstance(result, pd.Series):
            return result
        return self._advance(result.values, OpCode.FILL)

    def map(self, arg: Any, **kwargs: Any) -> "TrackedSeries":  # type: ignore[override]
        result = pd.Series.map(self, arg, **kwargs)
        return self._advance(result.values, OpCode.MAP)

    def replace(self, *args: Any, **kwargs: Any) -> Any:  # type: ignore[override]
        result = pd.Series.replace(self, *args, **kwargs)
        # As for fillna: pandas 3 returns self from an in-place replace.
        if _is_inplace(kwargs) or not isinstance(result, pd.Series):
            return result
        return self._advance(result.values, OpCode.MAP)


# ---- TrackedDataFrame -------------------------------------------------------------------------------

def _broadcast_first(prov: np.ndarray, n: int, empty: int = 0) -> np.ndarray:
    """n copies of the first entry, or n copies of `empty` when there is none."""
    first = prov[:1] if len(prov) else np.array([empty], dtype=prov.dtype)
    return np.broadcast_to(first, n).copy()


def _aligned(index: pd.Index, values: np.ndarray, target: pd.Index, missing: int) -> np.ndarray:
    """Per-row entries moved to the rows of `target` the way pandas moves values when it aligns
    them by label: each target row takes the entry of the row with its label, and rows whose
    label `index` lacks take `missing`."""
    positions = index.get_indexer(target)
    out = np.full(len(target), missing, dtype=values.dtype)
    found = positions >= 0
    out[found] = values[positions[found]]
    return out


def _aligned_words(series: "TrackedSeries", target: pd.Index) -> np.ndarray:
    """The Series' words aligned to `target` by label; rows without a source label get 0."""
    prov = series._prov
    if len(prov) != len(series):  # a derived Series whose array is not its own: one word per row
        prov = _broadcast_first(prov, len(series))
    return _aligned(series.index, prov, target, 0)


class TrackedDataFrame(pd.DataFrame):
    """Pandas DataFrame with KORVAL-32 provenance."""

    _metadata = ["_tracker", "_col_prov"]

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        tracker = kwargs.pop("_tracker", None)
        col_prov = kwargs.pop("_col_prov", None)
        pd.DataFrame.__init__(self, *args, **kwargs)
        self._tracker = tracker
        self._col_prov = col_prov if col_prov is not None else {}

    @property
    def _constructor(self) -> type:
        return TrackedDataFrame

    @property
    def _constructor_sliced(self) -> type:  # type: ignore[override]
        return TrackedSeries

    def __getitem__(self, key: Any) -> Any:
        result = pd.DataFrame.__getitem__(self, key)
        if isinstance(result, pd.Series):
            if key in self._col_prov:
                prov = self._col_prov[key]
                n = len(result)
                if len(prov) != n:
                    prov = _broadcast_first(prov, n)
                return TrackedSeries(result.values, index=result.index, _prov=prov.copy(),
                                     _tracker=self._tracker)
            return TrackedSeries(result.values, index=result.index,
                                 _prov=np.zeros(len(result), dtype=np.uint32),
                                 _tracker=self._tracker)
        return result

    def __setitem__(self, key: Any, value: Any) -> None:
        pd.DataFrame.__setitem__(self, key, value)
        if isinstance(value, TrackedSeries) and isinstance(key, Hashable):
            if value.index.equals(self.index):
                words = value._prov.copy()
            else:  # pandas aligned the values by label: move the words the same way
                words = _aligned_words(value, self.index)
            # Frames that pandas derives from this one share its dict; a new dict keeps an
            # assignment here from rewriting their provenance, or theirs from rewriting ours.
            self._col_prov = {**self._col_prov, key: words}

    def merge(self, right: Any, *args: Any, **kwargs: Any) -> "TrackedDataFrame":  # type: ignore[override]
        result = pd.DataFrame.merge(self, right, *args, **kwargs)
        n = len(result)
        new_prov: Dict[Any, np.ndarray] = {}
        sides = [self._col_prov]
        if isinstance(right, TrackedDataFrame):
            sides.append(right._col_prov)
        for col_prov in sides:
            for col, prov in col_prov.items():
                if col not in result.columns or col in new_prov:
                    continue
                if self._tracker and len(prov):
                    merged_prov = self._tracker.update_chain(int(prov[0]), OpCode.MERGE)
                    new_prov[col] = np.full(n, merged_prov, dtype=np.uint32)
                else:
                    new_prov[col] = _broadcast_first(prov, n)
        return TrackedDataFrame(result, _tracker=self._tracker, _col_prov=new_prov)


# ---- wrap_dataframe ---------------------------------------------------------------------------------

_MODULUS_61 = (1 << 61) - 1


def _int_label_hashes(labels: np.ndarray) -> np.ndarray:
    """hash() of every int64 label, as int64, by the interpreter's rule for ints: a magnitude
    below 2**61 - 1 hashes to itself, a larger one to its remainder modulo 2**61 - 1 with the
    sign kept, and -1 to -2."""
    labels = labels.astype(np.int64, copy=False)
    magnitude = np.where(labels < 0, (-(labels + 1)).astype(np.uint64) + np.uint64(1),
                         labels.astype(np.uint64))  # |x|, exact for the most negative int64
    remainder = (magnitude % np.uint64(_MODULUS_61)).astype(np.int64)
    hashes = np.where(labels < 0, -remainder, remainder)
    hashes[hashes == -1] = -2
    return hashes


def _row_entity_bits(tracker: ProvenanceTracker, index: pd.Index) -> np.ndarray:
    """Each row label's entity hash modulo 2**MODE_01_ENTITY_BITS, computed once per frame."""
    modulus = 1 << MODE_01_ENTITY_BITS
    # Only where entity_from_row is ours and unchanged: an override must be called per row.
    plain_hash = (getattr(tracker.entity_from_row, "__func__", None)
                  is ProvenanceTracker.entity_from_row and _hash_entity is _builtin_hash_entity)
    integer_labels = isinstance(index, pd.RangeIndex) or (
        not isinstance(index, pd.MultiIndex) and index.dtype == np.int64)
    if plain_hash and integer_labels:
        # The same numbers as the loop below, without a Python call per row.
        low32 = _int_label_hashes(index.to_numpy()).view(np.uint64) & np.uint64(0xFFFFFFFF)
        return (low32 % np.uint64(modulus)).astype(np.uint32)
    return np.array([tracker.entity_from_row(label) % modulus for label in index], dtype=np.uint32)


def wrap_dataframe(df: pd.DataFrame, tracker: ProvenanceTracker, table: str, protected: Any = False,
                   include_entity: Any = True) -> TrackedDataFrame:
    """Wrap a DataFrame with KORVAL-32 provenance. Sets taint for protected columns."""
    _text(table, "table")  # before the tracker changes
    result = TrackedDataFrame(df, _tracker=tracker)
    n = len(df)
    if isinstance(protected, (list, tuple, set)):
        protected_cols: Optional[Set[str]] = {str(c) for c in protected}
    else:
        protected_cols = None
        if protected:
            tracker._protected_tables.add(table)
            tracker._native.mark_table_protected(table)
    entity_hashes = (_row_entity_bits(tracker, df.index) if include_entity
                     else np.zeros(n, dtype=np.uint32))
    for col in df.columns:
        col_protected = (str(col) in protected_cols) if protected_cols is not None else protected
        pair_id = tracker.register(table, str(col), col_protected)
        is_tainted = tracker.is_protected(table, str(col))
        prov_array = np.asarray(encode_source_column(tracker._native, pair_id, entity_hashes,
                                                     bool(is_tainted)), dtype=np.uint32)
        result._col_prov[col] = prov_array
    return result


# ---- audits and risk reports ------------------------------------------------------------------------

_NO_AUDIT = "No tracker or empty series"


def audit(series: TrackedSeries) -> Dict[str, Any]:
    """Audit a series for provenance, taint, and risk information."""
    if not series._tracker or len(series) == 0:
        return {"error": _NO_AUDIT}
    prov = int(series._prov[0])
    tracker = series._tracker
    info = tracker.decode_full(prov)
    return {
        "provenance": "0x" + format(prov, "08X"),
        "mode": info.mode,
        "pair_count": len(info.pairs),
        "pair_ids": sorted(info.pairs),
        "columns": tracker.explain(prov),
        "tables": tracker.explain_tables(prov),
        "entity": info.entity,
        "chain": info.chain,
        "taint": info.taint,
        "depth": info.depth,
        "risk": tracker.risk_score(prov),
        "has_protected": tracker.has_protected(prov),
    }


def audit_series_diversity(series: TrackedSeries) -> Dict[str, Any]:
    """Analyze provenance diversity across a series."""
    if not series._tracker or len(series) == 0:
        return {"error": _NO_AUDIT}
    tracker = series._tracker
    unique_provs = {int(w) for w in np.unique(np.asarray(series._prov))}
    unique_pairs: Set[int] = set()
    unique_entities: Set[int] = set()
    unique_chains: Set[int] = set()
    taint_count = 0
    max_depth = 0
    for prov in unique_provs:
        info = tracker.decode_full(prov)
        unique_pairs.update(info.pairs)
        unique_entities.add(info.entity)
        unique_chains.add(info.chain)
        if info.taint:
            taint_count += 1
        if info.depth > max_depth:
            max_depth = info.depth
    total = len(series)
    return {
        "total_rows": total,
        "unique_provenances": len(unique_provs),
        "unique_pair_sets": len(unique_pairs),
        "unique_entities": len(unique_entities),
        "unique_chains": len(unique_chains),
        "entity_diversity": len(unique_entities) / total if total else 0,
        "tainted_provenances": taint_count,
        "taint_ratio": taint_count / len(unique_provs) if unique_provs else 0,
        "max_depth": max_depth,
    }


def provenance_entropy(series: TrackedSeries) -> float:
    """Shannon entropy of provenance distribution across a series."""
    n = len(series)
    if n == 0:
        return 0.0
    counts: Dict[int, int] = {}
    for w in np.asarray(series._prov).tolist():
        counts[w] = counts.get(w, 0) + 1
    h = 0.0
    for count in counts.values():
        p = count / n
        if p > 0:
            h -= p * math.log2(p)
    return h


def _risk_level(max_risk: float) -> str:
    if max_risk > 0.5:
        return "HIGH"
    if max_risk > 0.2:
        return "MEDIUM"
    if max_risk > 0:
        return "LOW"
    return "CLEAN"


def column_risk_report(df: TrackedDataFrame,
                       tracker: Optional[ProvenanceTracker] = None) -> List[Dict[str, Any]]:
    """Per-column taint risk report. Returns list of dicts sorted by risk (highest first)."""
    if tracker is None:
        tracker = df._tracker
        if tracker is None:
            return []
    report: List[Dict[str, Any]] = []
    for col in df.columns:
        if col not in df._col_prov:
            report.append({"column": col, "tainted": False, "max_risk": 0.0, "min_depth": None,
                           "risk_level": "CLEAN"})
            continue
        prov_array = df._col_prov[col]
        taint_arr = np.asarray(is_tainted_batch(prov_array))
        any_taint = bool(np.any(taint_arr))
        min_depth = None
        if any_taint:
            risk_arr = np.asarray(risk_score_batch(prov_array))
            max_risk = float(np.max(risk_arr))
            tainted_provs = prov_array[taint_arr]
            # the depth bits of every tainted word at once, as get_depth reads them one by one
            depths = (tainted_provs >> np.uint32(DEPTH_SHIFT)) & np.uint32(7)
            min_depth = int(np.min(depths)) if len(depths) else MAX_DEPTH
            risk_level = _risk_level(max_risk)
        else:
            max_risk = 0.0
            risk_level = "CLEAN"
        report.append({"column": col, "tainted": any_taint, "max_risk": round(max_risk, 4),
                       "min_depth": min_depth, "risk_level": risk_level})
    report.sort(key=lambda r: r["max_risk"], reverse=True)
    return report
