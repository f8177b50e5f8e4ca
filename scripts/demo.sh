#!/bin/sh
# Builds the updater and runs it, in this terminal, against the virtual recorder:
# an older boot loader and a valid firmware, so the whole update with boot-loader
# replacement runs. Options are passed on (see --help of qdp_virtual_updater).
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh linux
cmake --preset linux >/dev/null
cmake --build --preset linux --target qdp_virtual_updater >/dev/null
exec build/linux/sim/qdp_virtual_updater "$@"
