#!/usr/bin/env bash
# The no-op scan over 20,000 up-to-date files of 4 KiB, against the floor under
# Wine (see noop-scan.sh).
set -euo pipefail
exec bash "$(dirname "$0")/noop-scan.sh" "${1:?usage: bench/noop-scan-small.sh BUILD_DIR}" small
