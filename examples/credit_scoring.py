"""A credit-scoring pipeline with cell-level provenance, end to end.

Generates 100,000 loan applications with a fixed seed: two protected attributes (age, sex) and
ordinary columns (income, debt, employment years, loan amount, region). The frame is wrapped
with the protected columns marked, features are derived with tracked pandas operators, and the
script prints what a model-risk reviewer asks for: the audit of the score, the risk report of
every column, the full explanation of one score cell, and how long each tracked step took.

The same score is then computed with the DAG-tracked types on the first applications, where
every element's computation is logged as a graph: the script prints the DAG audit of one score
value, writes that value's graph as Graphviz DOT (and as SVG where Graphviz's dot is found), and
persists the whole DAG with per-row results, keyed by application id, to a SQLite file.

With --service URL it finally validates its scoring model against the hosted service at that
address (tallyra.validate) and reports what was sent; without it nothing leaves the machine.

    python examples/credit_scoring.py [--rows N] [--seed S] [--dag-rows N] [--out DIR]
                                      [--service URL --api-key KEY]
"""

from __future__ import annotations

import argparse
import shutil
import subprocess
import time
from pathlib import Path

import numpy as np
import pandas as pd

import tallyra

from tallyra.utilities.korval32 import (ProvenanceTracker, audit, audit_series_diversity,
                                        column_risk_report, provenance_entropy, wrap_dataframe)
from tallyra.utilities.korval32_dag import DAGTracker, dag_audit, get_dag_for_series, wrap_dataframe_dag
from tallyra.utilities.persistence import SQLiteStorage


def applications(n: int, seed: int) -> pd.DataFrame:
    """n synthetic loan applications; about 2% of incomes are missing."""
    rng = np.random.default_rng(seed)
    age = rng.integers(18, 76, n)
    income = rng.lognormal(mean=10.6, sigma=0.5, size=n).round(2)
    income[rng.random(n) < 0.02] = np.nan
    return pd.DataFrame({
        "age": age,
        "sex": rng.choice(["F", "M"], n),
        "income": income,
        "debt": (rng.gamma(2.0, 6000.0, n)).round(2),
        "employment_years": np.minimum(rng.exponential(6.0, n), age - 16).round(1),
        "loan_amount": rng.choice([5_000, 10_000, 15_000, 25_000, 40_000], n).astype(float),
        "region": rng.choice(["north", "south", "east", "west"], n),
    })


class Steps:
    """Times the tracked steps of the pipeline."""

    def __init__(self) -> None:
        self.rows: list[tuple[str, float]] = []

    def run(self, name, fn):
        t0 = time.perf_counter()
        result = fn()
        self.rows.append((name, time.perf_counter() - t0))
        return result


def score_features(frame):
    """The score pipeline, on a tracked frame of either kind; returns the score Series."""
    income = frame["income"].clip(0, 400_000).fillna(float(frame["income"].median()))
    frame["income_clean"] = income
    frame["debt_to_income"] = frame["debt"] / income
    frame["loan_to_income"] = frame["loan_amount"] / income
    # Years to retirement is a proxy of age: it brings the protected column into the score.
    frame["years_to_retirement"] = 67 - frame["age"]
    frame["score"] = (0.45 * frame["debt_to_income"] + 0.35 * frame["loan_to_income"]
                      - 0.01 * frame["employment_years"] + 0.004 * frame["years_to_retirement"])
    return frame["score"]


class ScoreModel:
    """The score as a model: predict() gives each application's score from its features."""

    def predict(self, X):
        income = X["income"].clip(0, 400_000).fillna(X["income"].median())
        return (0.45 * X["debt"] / income + 0.35 * X["loan_amount"] / income
                - 0.01 * X["employment_years"]).to_numpy()


def validate_with_service(sample, service, api_key, steps):
    """Validates the scoring model on `sample` against the hosted service and reports it."""
    tallyra.configure(api_key=api_key, service_url=service)
    tallyra.register_source(sample, "applications")
    labelled = sample.assign(approved=(ScoreModel().predict(sample) < 0.35).astype(int))
    features = ["income", "debt", "employment_years", "loan_amount"]
    answer = steps.run("tallyra.validate", lambda: tallyra.validate(
        model=ScoreModel(), test_df=labelled[features + ["age", "sex", "approved"]],
        label_column="approved", protected_columns=["age", "sex"], model_name="credit-score",
        model_version="1"))
    print()
    print(f"Validated against {service}: {len(labelled):,} rows, features {', '.join(features)},"
          f" protected age, sex; the service answered {answer}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--dag-rows", type=int, default=2_000,
                        help="applications scored again with the DAG-tracked types")
    parser.add_argument("--out", type=Path, default=Path("build/demo"),
                        help="where the DOT (and SVG) of one score value is written")
    parser.add_argument("--service", help="validate the model against the hosted service here")
    parser.add_argument("--api-key", default="demo-key", help="the key for --service")
    args = parser.parse_args()

    df = applications(args.rows, args.seed)
    tracker = ProvenanceTracker()
    steps = Steps()

    tdf = steps.run("wrap_dataframe (7 columns)",
                    lambda: wrap_dataframe(df, tracker, "applications", protected=["age", "sex"]))

    def features():
        score_features(tdf)
        tdf["approved"] = tdf["score"] < 0.35

    steps.run("derive features (tracked ops)", features)
    score = tdf["score"]
    report = steps.run("column_risk_report", lambda: column_risk_report(tdf))
    score_audit = steps.run("audit(score)", lambda: audit(score))
    diversity = steps.run("audit_series_diversity(score)", lambda: audit_series_diversity(score))
    entropy = steps.run("provenance_entropy(score)", lambda: provenance_entropy(score))

    print(f"{len(tdf):,} loan applications, protected columns: age, sex")
    print(f"approved: {int(tdf['approved'].sum()):,}   mean score: {score.mean():.4f}")
    print()
    print("Audit of the score column (first row)")
    for key, value in score_audit.items():
        print(f"  {key:<14} {value}")
    print(f"  {'distinct words':<14} {diversity['unique_provenances']:,}"
          f"   entropy {entropy:.3f} bits   max depth {diversity['max_depth']}")
    print()
    print("Column risk report")
    print(f"  {'column':<20} {'tainted':<8} {'max_risk':>8} {'min_depth':>9}  risk_level")
    for row in report:
        depth = "-" if row["min_depth"] is None else row["min_depth"]
        print(f"  {row['column']:<20} {str(row['tainted']):<8} {row['max_risk']:>8.4f} "
              f"{depth!s:>9}  {row['risk_level']}")
    print()
    row = 1042 % len(tdf)
    word = int(score._prov[row])
    print(f"Explanation of score[{row}] = {score.iloc[row]:.4f}")
    for key, value in tracker.explain_full(word).items():
        print(f"  {key:<15} {value}")

    # The same score with every element's computation logged as a DAG.
    dag_tracker = DAGTracker(pipeline_name="credit-scoring-demo")
    sample = df.head(args.dag_rows)
    dag_frame = steps.run(f"wrap_dataframe_dag ({len(sample):,} rows)", lambda: wrap_dataframe_dag(
        sample, dag_tracker, "applications", protected=["age", "sex"]))
    dag_score = steps.run("derive features (DAG-tracked)", lambda: score_features(dag_frame))
    dag_row = row % max(len(sample), 1)
    value_audit = dag_audit(dag_score, dag_row)
    print()
    print(f"DAG audit of score[{dag_row}] ({dag_tracker.dag_stats()['total_nodes']:,} nodes logged)")
    for key, value in value_audit.get("dag", {}).items():
        print(f"  {key:<17} {value}")
    graph = get_dag_for_series(dag_score, dag_row)
    args.out.mkdir(parents=True, exist_ok=True)
    dot_path = args.out / "score_dag.dot"
    dot_path.write_text(graph.to_graphviz() + "\n")
    print(f"  DOT written to {dot_path}")
    dot = shutil.which("dot")
    if dot:
        svg_path = dot_path.with_suffix(".svg")
        subprocess.run([dot, "-Tsvg", str(dot_path), "-o", str(svg_path)], check=True, timeout=120)
        print(f"  SVG rendered to {svg_path}")
    else:
        print("  (Graphviz's dot is not installed: no SVG)")


    # Evidence that outlives the process: the DAG, and per-row results keyed by application id
    # with a hash of each application's input row.
    db_path = args.out / "provenance.db"
    if db_path.exists():
        db_path.unlink()
    application_ids = [f"APP-{i:06d}" for i in range(len(sample))]
    dag_frame["approved"] = dag_frame["score"] < 0.35

    def persist():
        with SQLiteStorage(db_path) as storage:
            run = dag_tracker.persist_to_storage(storage)
            DAGTracker.persist_results(storage, run, application_ids,
                                       {"score": dag_score, "approved": dag_frame["approved"]},
                                       source_df=sample)
            return run, storage.count("nodes", run), storage.count("edges", run), \
                storage.count("pipeline_results", run)

    run, nodes, edges, results = steps.run("persist to SQLite", persist)
    print(f"  DAG and results of run {run} persisted to {db_path}: {nodes:,} nodes, {edges:,} edges,"
          f" {results:,} results")

    if args.service:
        validate_with_service(df.head(args.dag_rows), args.service, args.api_key, steps)
    else:
        print("  (no --service: nothing was sent anywhere)")

    print()
    print("Timing of the tracked steps")
    for name, secs in steps.rows:
        print(f"  {name:<32} {secs * 1000:9.1f} ms")


if __name__ == "__main__":
    main()
