"""quillet: compare RGB video frames and draw where they differ."""
