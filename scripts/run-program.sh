#!/usr/bin/env bash
# Installs what is missing, builds Postsift and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
# Until the desktop program exists, the engine demo shows a database being made and reopened.
mkdir -p "${XDG_DATA_HOME:-$HOME/.local/share}/Postsift"
cd "${XDG_DATA_HOME:-$HOME/.local/share}/Postsift"
exec "$OLDPWD/build/tools/kldemo"
