"""Utilities built on the korvo core modules."""
