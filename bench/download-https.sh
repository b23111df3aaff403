#!/usr/bin/env bash
# The download benchmark over https, with a throwaway certificate authority
# trusted only in the build's Wine prefix (see download.sh).
set -euo pipefail
exec bash "$(dirname "$0")/download.sh" "${1:?usage: bench/download-https.sh BUILD_DIR}" https
