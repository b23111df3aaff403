#!/usr/bin/env bash
# The download benchmark for an updater built with a publisher key, against a
# signed release with its statement (see download.sh); compare its ratio with
# the unsigned one of scripts/bench download.
set -euo pipefail
exec bash "$(dirname "$0")/download.sh" "${1:?usage: bench/download-signed.sh BUILD_DIR}" http signed
