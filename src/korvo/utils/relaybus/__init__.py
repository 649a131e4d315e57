"""Message bridge from native producer threads to Python consumers."""
