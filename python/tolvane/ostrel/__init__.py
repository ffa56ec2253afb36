"""Fuzzy concepts: concrete concepts with membership functions and their connectives."""

# The one place of the version: the build reads it from here into the package's metadata.
__version__ = "0.1.0"
