"""The unified ostrel2 engine (``engine``)."""
