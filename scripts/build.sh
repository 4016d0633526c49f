#!/usr/bin/env bash
# Configures and builds one build directory: scripts/build.sh DIR [cmake args].
# DIZEDIR_TARGETS, when set, names the only targets to build (with what they
# depend on).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1
shift
cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
# shellcheck disable=SC2086 # a list of target names
cmake --build "$dir" -j"$(nproc)" ${DIZEDIR_TARGETS:+--target $DIZEDIR_TARGETS}
