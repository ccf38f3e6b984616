"""Wraps a few source columns into provenance words, combines them and explains the results.

A tiny credit-scoring flavoured walk through the native core: every cell gets a word naming its
(table, column) source, arithmetic combines the words, and each result explains where it came
from and how much protected data is behind it.
"""

import numpy as np

import tallyra._korval32 as k


def main():
    tracker = k.NativeProvenanceTracker()
    income = tracker.register("applicants", "income", False)
    debt = tracker.register("applicants", "debt", False)
    age = tracker.register("applicants", "age", True)  # a protected attribute
    tracker.mark_table_protected("bureau")
    history = tracker.register("bureau", "history_months", False)

    rows = np.array([101, 102, 103], dtype=np.uint32)  # per-row entity hashes
    col = {name: k.encode_source_column(tracker, pid, rows, tracker.is_protected(table, name))
           for table, name, pid in [("applicants", "income", income), ("applicants", "debt", debt),
                                    ("applicants", "age", age), ("bureau", "history_months", history)]}

    ratio = k.combine_batch(tracker, col["debt"], col["income"], k.OP_DIV)      # debt / income
    adjusted = k.combine_batch(tracker, ratio, col["age"], k.OP_MUL)            # * f(age)
    score = k.combine_batch(tracker, adjusted, col["history_months"], k.OP_SUB)  # - history
    score = k.update_chain_batch(tracker, score, k.OP_CLIP)                     # .clip(0, 1)

    for name, words in [("debt / income", ratio), ("adjusted", adjusted), ("score", score)]:
        word = int(words[0])
        info = tracker.decode_full(word)
        sources = ", ".join(f"{t}.{c}" for t, c in tracker.explain(word))
        print(f"{name:<14} word 0x{word:08X}  mode {info['mode']:<8} depth {info['depth']}  "
              f"tainted {str(info['taint']):<5}  risk {k.NativeProvenanceTracker.risk_score(word):.3f}")
        print(f"{'':<14} sources: {sources}")
        print(f"{'':<14} protected column among them: {tracker.has_protected(word)}")
    print("risk per row of the score:", k.risk_score_batch(score).tolist())


if __name__ == "__main__":
    main()
