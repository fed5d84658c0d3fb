"""Syntax trees, sorts, printing and visitors."""
