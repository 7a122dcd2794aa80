#!/usr/bin/env bash
# Installs what is needed, builds the Release program and starts it.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh" --run-only
dir="$("$root/scripts/build.sh" Release --target socks4proxy)"
exec "$dir/src/ui/socks4proxy"
