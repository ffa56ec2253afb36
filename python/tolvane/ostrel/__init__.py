"""Fuzzy concepts: concrete concepts with membership functions and their connectives."""
