#!/usr/bin/env bash
# Installs Debian's redis-server (and redis-tools: redis-cli, redis-benchmark)
# when they are missing. Starts nothing: tests and the demo run their own
# servers on loopback ports.
set -euo pipefail
if command -v redis-server >/dev/null && command -v redis-cli >/dev/null && command -v redis-benchmark >/dev/null; then
    exit 0
fi
sudo=""
if [ "$(id -u)" != 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends redis-server redis-tools >/dev/null
# The package may start a system-wide server on 6379; this project runs its own.
if command -v service >/dev/null; then $sudo service redis-server stop >/dev/null 2>&1 || true; fi
