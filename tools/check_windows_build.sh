#!/usr/bin/env bash
# Cross-builds the Windows x86-64 .pyd from the project's CMakeLists.txt with MinGW-w64 and
# checks the result: a PE32+ x86-64 DLL that exports only the module's entry point, has the
# module's own DllMain and imports the interpreter's DLL, Windows and the C runtime only.
# The interpreter's Windows headers are Include/ and PC/pyconfig.h of Debian's source package
# pythonX.Y; its import library is made with dlltool from the names that the Linux libpython
# exports (only the names: nothing links against the Linux library).
# The .pyd cannot be loaded here: no Windows interpreter. Prints the .pyd's path last.
#
#   tools/check_windows_build.sh                 # the default versions below
#   tools/check_windows_build.sh 3.11            # the versions to build for
#   LCC_CHECK_DIR=/tmp/win tools/check_windows_build.sh   # work folder (default: build/windows)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
default_versions=(3.11)
versions=("$@")
[[ ${#versions[@]} -gt 0 ]] || versions=("${default_versions[@]}")
work=${LCC_CHECK_DIR:-$root/build/windows}
mkdir -p "$work"
work=$(cd "$work" && pwd)
triplet=x86_64-w64-mingw32
started=$SECONDS

# Source packages need a deb-src entry; one mirroring the binary entries is added if none is.
source_entries() {
  grep -rqs '^deb-src\|^Types:.*deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/
}

add_source_entries() {
  if [[ -e /etc/apt/sources.list.d/debian.sources ]]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
      > /etc/apt/sources.list.d/lcc-deb-src.sources
  else
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list > /etc/apt/sources.list.d/lcc-deb-src.list
  fi
}

echo "== tools"
packages=(g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 binutils cmake make file dpkg-dev)
for version in "${versions[@]}"; do
  packages+=("python$version" "libpython$version")
done
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
    missing+=("$package")
  fi
done
if [[ ${#missing[@]} -gt 0 ]] || ! source_entries; then
  if [[ $(id -u) -ne 0 ]]; then
    echo "needed: ${missing[*]:-} ${missing[*]:+and }a deb-src entry for apt-get source" \
         "(apt, as root)" >&2
    exit 2
  fi
  source_entries || add_source_entries
  apt-get update -q
  if [[ ${#missing[@]} -gt 0 ]]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
  fi
fi
cmake=/usr/bin/cmake   # Debian's, whatever else is on PATH
release=$(. /etc/os-release && echo "$VERSION_CODENAME")
"$triplet-g++-win32" --version | head -n 1
"$cmake" --version | head -n 1

# $1: the version, such as 3.11. Leaves the headers in $work/python$1/include and the
# import library in $work/python$1/lib.
prepare_interpreter() {
  local version=$1 short=${1/./}
  local dir=$work/python$version
  local include=$dir/include library=$dir/lib/libpython$short.dll.a
  if [[ -e $include/pyconfig.h && -e $library ]]; then
    echo "headers and import library of $version: kept from an earlier run"
    return
  fi
  rm -rf "$dir/source" "$include" "$dir/lib"
  mkdir -p "$dir/source" "$dir/lib"
  # From the release's own suite: the security archive need not carry the sources of its
  # updates. Debian's patches are applied (some touch Include/).
  (cd "$dir/source" && apt-get source -q -t "$release" "python$version" > download.log 2>&1) || {
    cat "$dir/source/download.log"
    exit 1
  }
  local tree
  tree=$(ls -d "$dir/source/python$version-"*)
  cp -R "$tree/Include" "$include"
  cp "$tree/PC/pyconfig.h" "$include/pyconfig.h"

  # python3XX.dll exports every PyAPI name; data must be marked so, or the import library
  # would offer a code thunk in its place.
  local shared
  shared=$(ls /usr/lib/*-linux-gnu/"libpython$version.so".[0-9]* | head -n 1)
  {
    echo "LIBRARY python$short.dll"
    echo "EXPORTS"
    nm -D --defined-only "$shared" | awk '$3 ~ /^_?Py/ {
      print "    " $3 ($2 ~ /^[TtWi]$/ ? "" : " DATA") }' | sort -u
  } > "$dir/lib/python$short.def"
  "$triplet-dlltool" --input-def "$dir/lib/python$short.def" --dllname "python$short.dll" \
    --output-lib "$library"
  echo "headers of $(basename "$tree"), import library of" \
       "$(grep -c '^    ' "$dir/lib/python$short.def") names"
}

# $1: the version. Configures and builds in $work/python$1/build; sets `pyd`.
build_module() {
  local version=$1 short=${1/./}
  local dir=$work/python$version
  rm -rf "$dir/build"
  if ! "$cmake" -S "$root" -B "$dir/build" -G "Unix Makefiles" \
       -DCMAKE_TOOLCHAIN_FILE="$root/tools/windows/mingw-w64-x86_64.cmake" \
       -DCMAKE_BUILD_TYPE=Release -DLCC_WARNINGS_AS_ERRORS=ON -DLCC_TEST_HELPER=ON \
       -DPython_EXECUTABLE="/usr/bin/python$version" \
       -DPython_INCLUDE_DIR="$dir/include" \
       -DPython_LIBRARY="$dir/lib/libpython$short.dll.a" > "$dir/configure.log" 2>&1; then
    cat "$dir/configure.log"
    exit 1
  fi
  # The test-only extension too: the Windows wheel's tests build it there.
  if ! "$cmake" --build "$dir/build" --target linear_concrete_concept _native_test_helper \
       --config Release \
       --parallel "$(nproc)" > "$dir/build.log" 2>&1; then
    cat "$dir/build.log"
    exit 1
  fi
  # The linker's warnings too (-Werror is the compiler's), such as data auto-imported.
  if grep -q "warning:" "$dir/build.log"; then
    cat "$dir/build.log"
    echo "the build gave warnings" >&2
    exit 1
  fi
  pyd=$(ls "$dir"/build/linear_concrete_concept*.pyd)
}

fail() {
  echo "$pyd: $*" >&2
  exit 1
}

# $1: the version, $2: the .pyd.
check_module() {
  local version=$1 pyd=$2 short=${1/./}
  local kind headers exports imports
  kind=$(file -b "$pyd")
  [[ $kind == "PE32+ executable (DLL)"*"x86-64"* ]] || fail "not a PE32+ x86-64 DLL: $kind"
  echo "file type: $kind"

  headers=$("$triplet-objdump" -p "$pyd")
  exports=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<< "$headers" |
            sed -n 's/^\s*\[ *[0-9]*\] //p')
  [[ $exports == "PyInit_linear_concrete_concept" ]] ||
    fail "exports other than PyInit_linear_concrete_concept: $(echo $exports)"
  echo "exports: $exports"

  # MinGW's runtime brings a DllMain of its own when the module has none: the module's is
  # the one that switches thread notifications off.
  local symbols dll_main
  symbols=$("$triplet-nm" "$pyd")
  grep -q ' T DllMain$' <<< "$symbols" || fail "no DllMain in the symbol table"
  dll_main=$("$triplet-objdump" -d --disassemble=DllMain "$pyd" | sed -n '/<DllMain>:$/,/^$/p')
  grep -q '<__imp_DisableThreadLibraryCalls>' <<< "$dll_main" ||
    fail "DllMain is not the module's own: it does not call DisableThreadLibraryCalls"
  echo "DllMain: the module's own, calls DisableThreadLibraryCalls"

  imports=$(sed -n 's/^\s*DLL Name: //p' <<< "$headers" | sort -f | tr '\n' ' ')
  for dll in $imports; do
    case ${dll,,} in
      "python$short.dll" | kernel32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-crt-*.dll) ;;
      *) fail "imports $dll: only the interpreter, Windows and the C runtime may be needed" ;;
    esac
  done
  [[ " ${imports,,} " == *" python$short.dll "* ]] || fail "does not import python$short.dll"
  echo "imports: $imports"

  # The import library has every name of the Linux libpython, the DLL only those that the
  # headers declare with PyAPI_FUNC or PyAPI_DATA.
  local used declared undeclared
  # An import line is "hint-address ordinal name"; the export table may follow the last
  # DLL's imports, and its "Name <address> <file>" line is no import.
  used=$(awk -v dll="python$short.dll" '/DLL Name:/ { wanted = ($3 == dll); next }
                                        wanted && NF == 3 && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ { print $3 }' \
         <<< "$headers" | sort -u)
  declared=$(find "$work/python$version/include" -name '*.h' -exec cat {} + | tr '\n' ' ' |
             grep -oP 'PyAPI_(FUNC|DATA)\([^;]*?\)\s*\(?\s*\K\w+' | sort -u)
  undeclared=$(comm -23 <(echo "$used") <(echo "$declared"))
  [[ -z $undeclared ]] || fail "uses names that python$short.dll does not export: $(echo $undeclared)"
  echo "names used from python$short.dll: $(wc -l <<< "$used"), each declared by its headers"
}

built=()
for version in "${versions[@]}"; do
  echo "== CPython $version for Windows x86-64 in $work/python$version"
  prepare_interpreter "$version"
  build_module "$version"
  check_module "$version" "$pyd"
  built+=("$pyd")
done
echo "Windows build check: passed in $((SECONDS - started)) s"
printf '%s\n' "${built[@]}"
