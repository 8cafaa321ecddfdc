#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# Installs what is missing, configures, builds, and runs every test under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --workflow --preset default
