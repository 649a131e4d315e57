"""Lock-free single-producer single-consumer ring queue."""
