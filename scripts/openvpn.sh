#!/usr/bin/env bash
# Builds a real 64-bit openvpn.exe (over mbed TLS) from Debian's source packages, for the tests,
# the main job and the benchmarks. Everything it needs lives in $BUILD/openvpn: a private apt
# state, the downloaded and unpacked sources, the mbed TLS install, the logs, and the result
# $BUILD/openvpn/bin/openvpn.exe (stripped, linked statically: it imports system DLLs only) with
# BUILD-INFO.txt beside it. The build runs once; later calls reuse the result.
#
# From a script that sources common.sh:   . "$ROOT/scripts/openvpn.sh"; build_openvpn
#                                          ... "$OPENVPN_EXE" ...
# On its own:                              bash scripts/openvpn.sh
declare -F install_packages >/dev/null || . "$(dirname "${BASH_SOURCE[0]}")/common.sh"

OPENVPN_DIR=$BUILD/openvpn
OPENVPN_EXE=$OPENVPN_DIR/bin/openvpn.exe

# The Debian release whose source packages we build; the machine's own entries for it give the
# archive to fetch them from.
OPENVPN_DEBIAN_RELEASE=bookworm

_openvpn_mbedtls_options() {
  printf '%s\n' -G Ninja -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=x86_64 \
    -DCMAKE_C_COMPILER=x86_64-w64-mingw32-gcc-posix -DCMAKE_RC_COMPILER=x86_64-w64-mingw32-windres \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$OPENVPN_DIR/mbedtls" \
    -DUSE_STATIC_MBEDTLS_LIBRARY=ON -DUSE_SHARED_MBEDTLS_LIBRARY=OFF \
    -DENABLE_TESTING=OFF -DENABLE_PROGRAMS=OFF -DGEN_FILES=OFF -DMBEDTLS_FATAL_WARNINGS=OFF
}

_openvpn_configure_options() {
  local m=$OPENVPN_DIR/mbedtls
  printf '%s\n' --host=x86_64-w64-mingw32 --with-crypto-library=mbedtls \
    --disable-lzo --disable-lz4 --disable-plugins --disable-pkcs11 --disable-unit-tests \
    --disable-shared --enable-static CC=x86_64-w64-mingw32-gcc-posix \
    "MBEDTLS_CFLAGS=-I$m/include" "MBEDTLS_LIBS=-L$m/lib -lmbedtls -lmbedx509 -lmbedcrypto" \
    "TAP_CFLAGS=-I$ROOT/scripts/openvpn"
}

# What decides the result: a finished build made from anything else is built again.
_openvpn_recipe() {
  { _openvpn_mbedtls_options; _openvpn_configure_options; cat "$ROOT/scripts/openvpn/tap-windows.h"
  } | sha256sum | cut -d' ' -f1
}

# Runs one step with its output in logs/<name>.log, shown (its end) only when the step fails.
# Steps chain their commands with &&: errexit does not apply inside a tested command.
_openvpn_step() {
  local name=$1 log=$OPENVPN_DIR/logs/$1.log
  shift
  if ! "$@" >"$log" 2>&1; then
    printf '\nopenvpn.sh: the %s step failed; the end of %s:\n' "$name" "$log" >&2
    tail -n 60 "$log" >&2
    return 1
  fi
}

_openvpn_apt() {
  local a=$OPENVPN_DIR/apt
  apt-get -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$a/sources" \
    -o Dir::State::Lists="$a/lists" -o Dir::Cache="$a/cache" -o APT::Sandbox::User=root "$@"
}

_openvpn_apt_cache() {
  local a=$OPENVPN_DIR/apt
  apt-cache -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$a/sources" \
    -o Dir::State::Lists="$a/lists" -o Dir::Cache="$a/cache" "$@"
}

# One deb-src entry per suite of the release (and its -updates, -security, ...) that the
# machine's apt sources name, so the sources come from the archive the machine already uses.
_openvpn_write_sources() {
  local out=$OPENVPN_DIR/apt/sources/debian-src.sources uri suite component
  # shellcheck disable=SC2016 # apt's own placeholders
  local format='$(REPO_URI) $(RELEASE) $(COMPONENT)'
  : >"$out"
  while read -r uri suite component; do
    case "$suite" in "$OPENVPN_DEBIAN_RELEASE" | "$OPENVPN_DEBIAN_RELEASE"-*) ;; *) continue ;; esac
    [ "$component" = main ] || continue
    printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: %s\n\n' \
      "$uri" "$suite" /usr/share/keyrings/debian-archive-keyring.gpg >>"$out"
  done < <(apt-get indextargets --format "$format" 'Identifier: Packages' | sort -u)
  if [ ! -s "$out" ]; then
    printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: %s\n' \
      http://deb.debian.org/debian "$OPENVPN_DEBIAN_RELEASE" \
      /usr/share/keyrings/debian-archive-keyring.gpg >"$out"
  fi
}

# Downloads the newest version of a source package that the archive actually serves (a mirror
# may list a version in its index before it holds the files) and records it in dl/<name>.version.
_openvpn_download() {
  local package=$1 version
  for version in $(_openvpn_apt_cache madison "$package" | awk -F' *[|] *' '$3 ~ / Sources$/ {print $2}' | sort -V -r -u); do
    if (cd "$OPENVPN_DIR/dl" && _openvpn_apt source --download-only "$package=$version"); then
      echo "$version" >"$OPENVPN_DIR/dl/$package.version"
      return 0
    fi
  done
  echo "no version of the source package $package could be downloaded"
  return 1
}

_openvpn_fetch() {
  rm -rf "$OPENVPN_DIR/apt" "$OPENVPN_DIR/dl" &&
    mkdir -p "$OPENVPN_DIR"/apt/{sources,lists/partial,cache/archives/partial} "$OPENVPN_DIR/dl" &&
    _openvpn_write_sources && cat "$OPENVPN_DIR/apt/sources/debian-src.sources" &&
    _openvpn_apt update && _openvpn_download openvpn && _openvpn_download mbedtls &&
    touch "$OPENVPN_DIR/dl/.complete"
}

_openvpn_dsc() { local v; v=$(cat "$OPENVPN_DIR/dl/$1.version") && echo "$OPENVPN_DIR/dl/${1}_${v#*:}.dsc"; }

_openvpn_unpack() {
  rm -rf "$OPENVPN_DIR/src" && mkdir -p "$OPENVPN_DIR/src" &&
    dpkg-source -x "$(_openvpn_dsc openvpn)" "$OPENVPN_DIR/src/openvpn" &&
    dpkg-source -x "$(_openvpn_dsc mbedtls)" "$OPENVPN_DIR/src/mbedtls"
}

_openvpn_build_mbedtls() {
  local options
  mapfile -t options < <(_openvpn_mbedtls_options)
  cmake -S "$OPENVPN_DIR/src/mbedtls" -B "$OPENVPN_DIR/work/mbedtls" "${options[@]}" &&
    cmake --build "$OPENVPN_DIR/work/mbedtls" -j "$(nproc)" &&
    cmake --install "$OPENVPN_DIR/work/mbedtls"
}

# Only what openvpn.exe needs: src/compat and src/openvpn. -all-static makes libtool hand
# -static to the compiler, so neither libgcc nor winpthread is needed as a DLL.
_openvpn_build_openvpn() {
  local options w=$OPENVPN_DIR/work/openvpn
  mapfile -t options < <(_openvpn_configure_options)
  mkdir -p "$w" &&
    (cd "$w" && "$OPENVPN_DIR/src/openvpn/configure" "${options[@]}") &&
    make -C "$w/src/compat" -j "$(nproc)" &&
    make -C "$w/src/openvpn" -j "$(nproc)" AM_LDFLAGS=-all-static
}

# The program must be a 64-bit Windows executable that needs no DLL of the toolchain (those are
# all named lib*.dll: libgcc_s_seh-1, libwinpthread-1, ...) or of mbed TLS.
_openvpn_check() {
  local exe=$1 dlls
  x86_64-w64-mingw32-objdump -f "$exe" | grep -q 'file format pei-x86-64' || {
    echo "$exe is not a 64-bit Windows executable"; return 1; }
  dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ {print $3}')
  echo "imports: $(tr '\n' ' ' <<<"$dlls")"
  if [ -z "$dlls" ] || grep -qi '^lib' <<<"$dlls"; then
    echo "$exe needs a DLL of its own"
    return 1
  fi
}

_openvpn_install() {
  local built=$OPENVPN_DIR/work/openvpn/src/openvpn/openvpn.exe options
  mapfile -t options < <(_openvpn_configure_options)
  mkdir -p "$OPENVPN_DIR/bin" &&
    x86_64-w64-mingw32-strip -o "$OPENVPN_EXE" "$built" &&
    _openvpn_check "$OPENVPN_EXE" &&
    {
      echo "openvpn.exe (64-bit Windows, mbed TLS, static), built by scripts/openvpn.sh on $(date -u '+%Y-%m-%d %H:%M UTC')"
      echo "openvpn source package: openvpn $(cat "$OPENVPN_DIR/dl/openvpn.version")"
      echo "mbedtls source package: mbedtls $(cat "$OPENVPN_DIR/dl/mbedtls.version")"
      echo "compiler: $(x86_64-w64-mingw32-gcc-posix --version | head -n 1)"
      echo "mbedtls cmake options: $(_openvpn_mbedtls_options | tr '\n' ' ')"
      echo "openvpn configure options: ${options[*]}"
      echo "openvpn make: src/compat, src/openvpn (AM_LDFLAGS=-all-static), then stripped"
    } >"$OPENVPN_DIR/bin/BUILD-INFO.txt"
}

build_openvpn() {
  local stamp=$OPENVPN_DIR/.complete recipe lock
  mkdir -p "$OPENVPN_DIR"
  # One build at a time per build tree; a second caller waits and then reuses the result.
  exec {lock}>"$OPENVPN_DIR/.lock"
  flock "$lock"
  recipe=$(_openvpn_recipe)
  if [ -f "$OPENVPN_EXE" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$recipe" ]; then
    say "reusing $OPENVPN_EXE ($(sed -n 's/^openvpn source package: //p' "$OPENVPN_DIR/bin/BUILD-INFO.txt"))"
    exec {lock}>&-
    return 0
  fi
  say "building $OPENVPN_EXE (logs in $OPENVPN_DIR/logs)"
  install_packages dpkg-dev make xz-utils openvpn openssl
  rm -rf "$stamp" "${OPENVPN_DIR:?}/bin" "$OPENVPN_DIR/work" "$OPENVPN_DIR/mbedtls" "$OPENVPN_DIR/logs"
  mkdir -p "$OPENVPN_DIR/logs"
  # The downloaded source packages are kept across rebuilds; delete $OPENVPN_DIR for newer ones.
  [ -f "$OPENVPN_DIR/dl/.complete" ] || _openvpn_step fetch _openvpn_fetch || return 1
  _openvpn_step unpack _openvpn_unpack || return 1
  _openvpn_step mbedtls _openvpn_build_mbedtls || return 1
  _openvpn_step openvpn _openvpn_build_openvpn || return 1
  _openvpn_step install _openvpn_install || return 1
  echo "$recipe" >"$stamp"
  exec {lock}>&-
  sed -n '2,3s/^/   /p' "$OPENVPN_DIR/bin/BUILD-INFO.txt"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  build_openvpn
fi
