"""Provenance tracking, computation DAGs and their helpers."""
