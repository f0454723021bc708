#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the lab need, plus any
# named on the command line (scripts/fuzz.sh adds clang).
# Does nothing when they are all present; needs root (or sudo) otherwise.
set -euo pipefail

PACKAGES=(cmake make g++ pkg-config libmbedtls-dev libgtest-dev libgmock-dev libbenchmark-dev
          python3 openssl ca-certificates procps python3-prometheus-client lintian "$@")

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "Need root to install ${missing[*]}" >&2; exit 1; }
  SUDO=sudo
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
