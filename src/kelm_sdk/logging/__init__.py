"""Logging for the SDK."""
