"""Redis storage for the SDK: see :mod:`kelm_sdk.redis.stashel`."""
