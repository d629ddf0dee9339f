"""Application SDK for cooperating containers."""
