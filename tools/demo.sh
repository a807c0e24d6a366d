#!/bin/sh
# The demo: for now it shows the program's help text from the Release build.
set -eu
build_dir=${1:-build/release}
"$build_dir/src/idferry" --help
