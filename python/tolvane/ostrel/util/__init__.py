"""Helpers shared by the fuzzy concepts."""
