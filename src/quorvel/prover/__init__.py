"""Classical first-order proving: clausal normal form and inference rules."""
