#!/usr/bin/env bash
# Installs the SDK from a build tree into a scratch prefix, then builds and
# runs a C program against it through CMake and through pkg-config, shared
# and static, and checks that the shared library exports only korvane_*.
# Usage: check_package.sh BUILD_DIR CONSUMER_SOURCE_DIR WORK_DIR [EXTRA_CFLAGS]
set -euo pipefail
BUILD=$1 CONSUMER=$2 WORK=$3 FLAGS=${4:-}
CC=${CC:-cc}
rm -rf "$WORK"
mkdir -p "$WORK"
PREFIX=$WORK/prefix

# The library packages' parts only: the host's parts go to /etc and /lib.
for component in libkorvane1 libkorvane-dev; do
  cmake --install "$BUILD" --prefix "$PREFIX" --component "$component" >>"$WORK/install.log"
done
SO=$(find "$PREFIX" -name 'libkorvane.so.*.*' | head -n 1)
[ -n "$SO" ] || { echo "FAIL: no versioned libkorvane.so installed"; exit 1; }
SONAME=$(objdump -p "$SO" | awk '/SONAME/ {print $2}')
[ "$SONAME" = "libkorvane.so.1" ] || { echo "FAIL: SONAME is '$SONAME'"; exit 1; }
OTHERS=$(nm -D --defined-only "$SO" | awk '{print $NF}' | grep -v '^korvane_' || true)
[ -z "$OTHERS" ] || { echo "FAIL: exported besides korvane_*:"; echo "$OTHERS" | head; exit 1; }
echo "exports: $(nm -D --defined-only "$SO" | awk '{print $NF}' | tr '\n' ' ')"

echo "== CMake consumer"
cmake -S "$CONSUMER" -B "$WORK/cmake" -DCMAKE_PREFIX_PATH="$PREFIX" \
      -DCMAKE_C_FLAGS="$FLAGS" -DCMAKE_EXE_LINKER_FLAGS="$FLAGS" >"$WORK/cmake.log"
cmake --build "$WORK/cmake" >>"$WORK/cmake.log" || { cat "$WORK/cmake.log"; exit 1; }
"$WORK/cmake/consumer_shared"
"$WORK/cmake/consumer_static"

echo "== pkg-config consumer"
LIBDIR=$(dirname "$SO")
export PKG_CONFIG_PATH=$LIBDIR/pkgconfig
# shellcheck disable=SC2046,SC2086
$CC $FLAGS -o "$WORK/pc_shared" "$CONSUMER/main.c" $(pkg-config --cflags --libs korvane) \
    -Wl,-rpath,"$(pkg-config --variable=libdir korvane)"
# shellcheck disable=SC2046,SC2086
$CC $FLAGS -o "$WORK/pc_static" "$CONSUMER/main.c" $(pkg-config --cflags --libs korvane-static)
"$WORK/pc_shared"
"$WORK/pc_static"
if ldd "$WORK/pc_static" | grep -q libkorvane; then
  echo "FAIL: the static consumer loads libkorvane.so"; exit 1
fi
echo "PASS"
