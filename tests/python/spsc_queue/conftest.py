"""Fixtures for the korvo.spsc_queue tests (none yet: each test builds the queue it needs)."""
