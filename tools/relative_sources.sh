#!/usr/bin/env bash
# Compiler launcher for the profile-guided build (python/CMakeLists.txt):
# GCC files the execution counts of a file's local functions under the path
# it was given for the file, so paths under the project root are given
# relative to the build directory, which is the same in every checkout.
#   relative_sources.sh ROOT COMPILER ARG...
set -euo pipefail
root=$1
shift
rel=$(realpath -m --relative-to=. "$root")
args=()
for arg in "$@"; do
  case $arg in
    "$root"/*) arg=$rel/${arg#"$root"/} ;;
    -I"$root"/*) arg=-I$rel/${arg#-I"$root"/} ;;
    -isystem"$root"/*) arg=-isystem$rel/${arg#-isystem"$root"/} ;;
  esac
  args+=("$arg")
done
exec "${args[@]}"
