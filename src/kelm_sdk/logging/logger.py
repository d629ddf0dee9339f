"""The SDK's loggers: one standard-library logger per component name."""

import logging


def get_logger(name: str) -> logging.Logger:
    """Return the SDK logger for the component ``name``."""
    return logging.getLogger(f"kelm_sdk.{name}")
