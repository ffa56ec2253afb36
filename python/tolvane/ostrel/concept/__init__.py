"""Fuzzy concepts."""
