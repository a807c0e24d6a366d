#!/bin/sh
# Installs the Debian packages that building and testing idferry needs, and
# only when one of them is missing (apt-get update runs only then). With
# --fuzz, also those of the fuzzing tree.
set -eu

PACKAGES="g++ make cmake pkg-config libboost-dev libboost-program-options-dev
libssl-dev gsoap libgsoap-dev googletest libgtest-dev libsqlite3-dev sqlite3
dpkg-dev file man-db"

# The fuzzing tree (make fuzz) also needs clang and its libFuzzer and
# sanitizer runtimes; they are installed only with --fuzz.
FUZZ_PACKAGES="clang libclang-rt-14-dev"
if [ "${1:-}" = "--fuzz" ]; then
  PACKAGES="$PACKAGES $FUZZ_PACKAGES"
fi

missing=""
for p in $PACKAGES; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  case "$status" in
    *"install ok installed"*) ;;
    *) missing="$missing $p" ;;
  esac
done

[ -z "$missing" ] && exit 0

echo "Installing missing packages:$missing"
if [ "$(id -u)" -eq 0 ]; then
  SUDO=""
elif command -v sudo >/dev/null 2>&1; then
  SUDO="sudo"
else
  echo "error: packages missing ($missing) and not running as root" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
# shellcheck disable=SC2086
$SUDO apt-get install -y --no-install-recommends $missing
