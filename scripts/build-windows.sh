#!/usr/bin/env bash
# Cross-builds Kestrune for 32-bit Windows with MinGW-w64 into build-win/.
#
# Installs the Debian packages it needs, then builds its Windows dependencies once from
# Debian's source packages (their upstream tarballs) into a cache outside the checkout, one
# folder per name and version, so reruns skip them:
#   ${XDG_CACHE_HOME:-~/.cache}/kestrune/win32/openssl-<version>/   static libcrypto and libssl
#   ${XDG_CACHE_HOME:-~/.cache}/kestrune/win32/softhsm2-<version>/  libsofthsm2.dll, softhsm2-util.exe
#   ${XDG_CACHE_HOME:-~/.cache}/kestrune/win32/sources/             the downloaded source packages
# A folder counts as built once its .complete file exists: an interrupted build starts over.
# Extra arguments go to the build of Kestrune (for example --target kestrune_tvcapi).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

triplet=i686-w64-mingw32
softhsm2_version=2.6.1
jobs=$(nproc)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/kestrune/win32
toolchain=$root/cmake/toolchain-i686-w64-mingw32.cmake

sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"

step_started=$SECONDS
step() {
  echo "== $* (at ${SECONDS}s)"
  step_started=$SECONDS
}

# logged LOG COMMAND...: runs the command with its output in LOG, shown only when it fails.
logged() {
  local log=$1
  shift
  if ! "$@" >>"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "failed: $* (whole output in $log)" >&2
    exit 1
  fi
}

# ---- Debian packages ----------------------------------------------------------------------
# wine32 and the Wine headers that widl's IDL imports come from the i386 architecture.
packages=(
  cmake ninja-build ccache make perl curl ca-certificates dpkg-dev
  g++-mingw-w64-i686 mingw-w64-tools
  wine wine32:i386 libwine-dev:i386 xvfb xauth
)
install_packages() {
  local missing=() status p
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$p")
  done
  [[ ${#missing[@]} -eq 0 ]] && return 0
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# ---- Debian source packages ---------------------------------------------------------------
# The main archive's release (not its -updates or -security suites, whose newest .dsc the
# mirror may not serve) as the configured mirror offers it. Its deb-src index lives in the
# cache, apart from the system's apt lists; apt checks every download against the signed index.
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
apt_dir=$cache/sources/apt
apt_options=(
  -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$apt_dir/sources.list.d"
  -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache"
  -o APT::Sandbox::User=root
)
source_index_ready=false
prepare_source_index() {
  $source_index_ready && return 0
  local mirror
  mirror=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 'Identifier: Packages' |
    awk -v suite="$codename" '$2 == suite { print $1; exit }')
  [[ -n "$mirror" ]] || { echo "no mirror of Debian $codename is configured for apt" >&2; exit 1; }
  mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
  cat >"$apt_dir/sources.list.d/main.sources" <<EOF
Types: deb-src
URIs: $mirror
Suites: $codename
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  apt-get "${apt_options[@]}" update -qq
  source_index_ready=true
}

# main_archive_version PACKAGE: the version of the binary package in the main archive.
main_archive_version() {
  apt-cache madison "$1" | awk -F' [|] ' -v suite=" $codename/" \
    '$3 ~ suite && $3 ~ /Packages$/ { gsub(/ /, "", $2); print $2; exit }'
}

# unpack_upstream SOURCE DEBIAN_VERSION DIR: the source package's upstream tarball, unpacked
# into DIR (Debian's patches left out). Only the tarball is fetched (the mirror need not hold
# the rest of the package), checked against the hash of the signed index.
unpack_upstream() {
  local source=$1 version=$2 dir=$3
  local downloads=$cache/sources/$source-$version
  local tarball
  tarball=$(ls "$downloads"/*.orig.tar.* 2>/dev/null | grep -v '\.asc$' | head -n1 || true)
  if [[ -z "$tarball" ]]; then
    prepare_source_index
    local url file size hash
    read -r url file size hash < <(apt-get "${apt_options[@]}" source -qq --print-uris \
      "$source=$version" | grep -E "^'[^']*\.orig\.tar\.[a-z0-9]+' " | head -n1) || true
    [[ -n "$hash" ]] || { echo "no upstream tarball for $source $version" >&2; exit 1; }
    mkdir -p "$downloads"
    tarball=$downloads/$file
    curl -fsSL -o "$tarball.part" "${url//\'/}"
    echo "${hash#SHA256:}  $tarball.part" | sha256sum --check --quiet
    mv "$tarball.part" "$tarball"
  fi
  rm -rf "$dir" && mkdir -p "$dir"
  tar -xf "$tarball" -C "$dir" --strip-components=1
}

# ---- OpenSSL 3, static, for MinGW ---------------------------------------------------------
# build_openssl PREFIX DEBIAN_VERSION. no-module builds the legacy provider (single DES) into
# libcrypto: a statically linked DLL has no module folder to load it from.
build_openssl() {
  local prefix=$1 version=$2
  local work=$cache/work/openssl
  unpack_upstream openssl "$version" "$work"
  local log=$cache/work/openssl.log
  : >"$log"
  (
    cd "$work"
    logged "$log" ./Configure mingw --cross-compile-prefix=$triplet- no-shared no-module \
      no-tests --prefix="$prefix" --libdir=lib
    logged "$log" make -j "$jobs" build_libs
    logged "$log" make install_dev
  )
  rm -rf "$work" "$log"
}

# ---- SoftHSM2 for Windows (the tests' token) ----------------------------------------------
# build_softhsm2 PREFIX DEBIAN_VERSION OPENSSL_PREFIX: its own CMake build with our toolchain
# and the static OpenSSL, everything linked statically but Windows' own DLLs.
build_softhsm2() {
  local prefix=$1 version=$2 openssl=$3
  local work=$cache/work/softhsm2
  unpack_upstream softhsm2 "$version" "$work/src"
  # MinGW has no syslog.h: SoftHSM2 ships a Windows stand-in in src/lib/win32 (also put on the
  # include path below). The static libcrypto needs Winsock and CryptoAPI.
  sed -i 's|^set(SOURCES Configuration.cpp|set(SOURCES ../win32/syslog.cpp Configuration.cpp|' \
    "$work/src/src/lib/common/CMakeLists.txt"
  sed -i 's|^\( *set(CRYPTO_LIBS ${OPENSSL_LIBRARIES}\))|\1 ws2_32 crypt32)|' \
    "$work/src/modules/CompilerOptions.cmake"
  grep -q 'win32/syslog.cpp' "$work/src/src/lib/common/CMakeLists.txt"
  grep -q 'ws2_32 crypt32' "$work/src/modules/CompilerOptions.cmake"
  # The configure checks that run test programs get the answers of our OpenSSL 3 (elliptic
  # curves and AES key wrap are in it) instead of running them: no Wine is needed to build.
  # Its install writes a configuration file and a token folder: both stay inside the prefix.
  local answer answers=()
  for answer in RUN_ECC RUN_AES_KEY_WRAP RUN_AES_KEY_WRAP_PAD; do
    answers+=("-D$answer=0" "-D${answer}__TRYRUN_OUTPUT=")
  done
  local log=$cache/work/softhsm2.log
  : >"$log"
  logged "$log" cmake -S "$work/src" -B "$work/build" -G Ninja -Wno-dev \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DKESTRUNE_WIN32_PREFIXES="$openssl" \
    -DKESTRUNE_RUN_WITH_WINE=OFF -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_INSTALL_SYSCONFDIR="$prefix/etc" -DCMAKE_INSTALL_LOCALSTATEDIR="$prefix/var" \
    -DCMAKE_CXX_FLAGS="-I$work/src/src/lib/win32" \
    -DCMAKE_SHARED_LINKER_FLAGS="-static" -DCMAKE_EXE_LINKER_FLAGS="-static" \
    -DHAVE_PTHREAD_H=0 -DENABLE_GOST=OFF -DENABLE_P11_KIT=OFF \
    -DBUILD_TESTS=OFF -DENABLE_STATIC=OFF -DWITH_MIGRATE=OFF \
    -DOPENSSL_INCLUDE_DIR="$openssl/include" -DOPENSSL_CRYPTO_LIBRARY="$openssl/lib/libcrypto.a" \
    -DOPENSSL_SSL_LIBRARY="$openssl/lib/libssl.a" -DLIB_EAY="$openssl/lib/libcrypto.a" \
    -DSSL_EAY="$openssl/lib/libssl.a" "${answers[@]}"
  logged "$log" cmake --build "$work/build" -j "$jobs"
  logged "$log" cmake --install "$work/build"
  rm -rf "$work" "$log"
}

# cached NAME VERSION BUILDER [ARGS]: runs BUILDER PREFIX [ARGS] to build NAME into its cache
# folder, unless it is there.
cached() {
  local name=$1 version=$2 builder=$3
  shift 3
  local prefix=$cache/$name-$version
  if [[ -f "$prefix/.complete" ]]; then
    echo "$name $version: cached in $prefix"
    return 0
  fi
  step "$name $version: building into $prefix"
  rm -rf "$prefix"
  "$builder" "$prefix" "$@"
  touch "$prefix/.complete"
  echo "$name $version: built in $((SECONDS - step_started))s"
}

step "packages"
install_packages

step "dependencies"
openssl_debian=$(main_archive_version openssl)
softhsm2_debian=$(apt-cache madison softhsm2 | awk -F' [|] ' -v v="$softhsm2_version" \
  '{ gsub(/ /, "", $2) } index($2, v "-") == 1 { print $2; exit }')
[[ -n "$openssl_debian" ]] || { echo "Debian $codename offers no openssl" >&2; exit 1; }
[[ -n "$softhsm2_debian" ]] || { echo "Debian offers no softhsm2 $softhsm2_version" >&2; exit 1; }
openssl_version=${openssl_debian#*:}
openssl_version=${openssl_version%-*}
openssl_prefix=$cache/openssl-$openssl_version
# Keyed by the upstream version; the Debian version names the source package to fetch.
cached openssl "$openssl_version" build_openssl "$openssl_debian"
cached softhsm2 "$softhsm2_version" build_softhsm2 "$softhsm2_debian" "$openssl_prefix"

step "Kestrune"
cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DKESTRUNE_WIN32_PREFIXES="$openssl_prefix" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKESTRUNE_WERROR=ON >/dev/null
cmake --build build-win -j "$jobs" "$@"
echo "== done in ${SECONDS}s: build-win/"

# Nothing above runs a Windows program, but the tests will: say so early when Wine can't (a
# kernel without 32-bit support, for one).
if ! WINEDEBUG=-all wine --version >/dev/null 2>&1; then
  echo "note: wine does not run on this machine; the Windows programs can't be tested here" >&2
fi
