"""Concrete fuzzy concepts."""
