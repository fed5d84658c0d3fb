"""Second-order syntax."""
