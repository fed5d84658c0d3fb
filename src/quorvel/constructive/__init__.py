"""Intuitionistic propositional reasoning: Kripke models and provers."""
