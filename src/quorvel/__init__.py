"""Automated reasoning over first-order and intuitionistic propositional logic."""
