#!/usr/bin/env bash
# Builds the executable twice from scratch, in two different folders, and checks that the two files are the same
# bytes: nothing of the time or place of a build may end up in it.
#   check_reproducible.sh SOURCE_DIR TOOLCHAIN_FILE BUILD_TYPE
set -euo pipefail
source_dir=$1 toolchain=$2 build_type=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

for build in first second-build-elsewhere; do
  cmake -S "$source_dir" -B "$scratch/$build" -G Ninja --toolchain "$toolchain" \
        -DCMAKE_BUILD_TYPE="$build_type" -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$scratch/$build" --target BlackScreenFix >/dev/null
done
first=$scratch/first/repair/BlackScreenFix.exe
second=$scratch/second-build-elsewhere/repair/BlackScreenFix.exe
if cmp "$first" "$second"; then
  echo "two clean builds are byte-identical ($(stat -c %s "$first") bytes, sha256 $(sha256sum <"$first" | cut -c1-16)...)"
else
  echo "two clean builds differ" >&2
  exit 1
fi
