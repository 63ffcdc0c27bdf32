#!/usr/bin/env bash
# Installs what is missing, builds Postsift into build/ and starts it. The program
# keeps its database in ~/.local/share/Postsift (or $XDG_DATA_HOME/Postsift).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
exec build/app/postsift
