#!/usr/bin/env bash
# Installs Debian's prometheus server when it is missing, for the test that
# lets a real Prometheus scrape the metrics. Starts nothing: the test runs
# its own server on a loopback port.
set -euo pipefail
if command -v prometheus >/dev/null; then
    exit 0
fi
sudo=""
if [ "$(id -u)" != 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends prometheus >/dev/null
# The package may start a system-wide server on 9090; the test runs its own.
if command -v service >/dev/null; then $sudo service prometheus stop >/dev/null 2>&1 || true; fi
