"""tallyra: cell-level provenance for pandas decision pipelines."""
