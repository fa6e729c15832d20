#!/usr/bin/env bash
# Usage: consumers.sh BUILD_DIR SOURCE_DIR
#
# Installs BUILD_DIR under a temporary prefix and checks what a program of the
# panel would use there: the installed layout, headers that compile on their
# own, installed files that point at neither the build nor the source tree, and
# the two examples built and run against the installed library, one through
# find_package(quill) with CMAKE_PREFIX_PATH, one through pkg-config with
# PKG_CONFIG_PATH.
set -euo pipefail

build=$(cd "${1:?build directory}" && pwd)
source=$(cd "${2:?source directory}" && pwd)

fail() { echo "install test: $*" >&2; exit 1; }
for tool in cmake make pkg-config ldd; do
  command -v "$tool" >/dev/null || fail "$tool is needed (packages cmake, make, pkgconf, libc-bin)"
done

# Consumers are built with the project's own compiler, and with its sanitizers
# when it has them: a sanitized library loads only into a sanitized program.
cache=$build/CMakeCache.txt
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$cache")
[[ -n $cxx ]] || cxx=c++
sanitize=$(sed -n 's/^QUILL_SANITIZE:STRING=//p' "$cache")
extra_flags=""
[[ -n $sanitize ]] && extra_flags="-fsanitize=$sanitize -fno-omit-frame-pointer"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 \
  || { cat "$work/install.log" >&2; fail "cmake --install failed"; }

# --- Layout -------------------------------------------------------------------
# The library's soname follows the project's major version.
major=$(sed -n 's/^CMAKE_PROJECT_VERSION_MAJOR:STATIC=//p' "$cache")
soname=libquill.so.$major
[[ -x $prefix/sbin/mklocalhostrev ]] || fail "no sbin/mklocalhostrev"
library=$(find "$prefix" -name "$soname" | head -n 1)
[[ -n $library ]] || fail "no $soname under the prefix"
libdir=$(dirname "$library")
[[ -e $libdir/libquill.so ]] || fail "no libquill.so link for the linker beside $library"
[[ -f $libdir/cmake/quill/quillConfig.cmake ]] || fail "no CMake package in $libdir/cmake/quill"
[[ -f $libdir/pkgconfig/quill.pc ]] || fail "no quill.pc in $libdir/pkgconfig"
[[ -f $prefix/share/man/man8/mklocalhostrev.8.gz ]] || fail "no share/man/man8/mklocalhostrev.8.gz"

# Every public header of the tree is installed under include/quill and
# compiles on its own, with nothing but the prefix on the include path.
headers=$(cd "$source" && find quill -name '*.h' -not -path '*/detail/*' | sort)
[[ -n $headers ]] || fail "no headers found in $source/quill"
for header in $headers; do
  [[ -f $prefix/include/$header ]] || fail "$header is not installed"
  printf '#include <%s>\n' "$header" \
    | "$cxx" -std=c++17 -Wall -Wextra -Werror -fsyntax-only -I"$prefix/include" -x c++ - 2>"$work/header.err" \
    || { cat "$work/header.err" >&2; fail "the installed <$header> does not compile on its own"; }
done

# Installed text files must not lead back to the trees the copy was made from.
if grep -rIlF -e "$build" -e "$source" "$prefix" >"$work/leaks"; then
  fail "installed files name the build or source tree: $(tr '\n' ' ' <"$work/leaks")"
fi

# Runs PROGRAM and checks that it loads the library from the prefix.
uses_installed_library() {
  local loaded
  loaded=$(ldd "$1" | awk -v soname="$soname" '$1 == soname { print $3 }')
  [[ $(readlink -f "$loaded") == $(readlink -f "$library") ]] \
    || fail "$1 loads $soname from '${loaded:-nowhere}', not from the prefix"
}

# --- find_package(quill) --------------------------------------------------------
cmake -S "$source/examples/conf-value" -B "$work/conf-value" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$extra_flags" -DCMAKE_EXE_LINKER_FLAGS="$extra_flags" \
  >"$work/conf-value.log" 2>&1 && cmake --build "$work/conf-value" >>"$work/conf-value.log" 2>&1 \
  || { cat "$work/conf-value.log" >&2; fail "examples/conf-value does not build with find_package(quill)"; }
grep -q "quill_DIR:PATH=$libdir/cmake/quill" "$work/conf-value/CMakeCache.txt" \
  || fail "find_package(quill) did not pick the installed package"
conf_value=$work/conf-value/conf-value
uses_installed_library "$conf_value"

value=$("$conf_value" HTTPD_SERVICE) || fail "conf-value HTTPD_SERVICE failed"
if [[ ! -e /etc/vex/vex.conf ]]; then
  [[ $value == apache2 ]] || fail "conf-value HTTPD_SERVICE printed '$value', not the default apache2"
fi
status=0
"$conf_value" NO_SUCH_VAR >"$work/out" 2>"$work/err" || status=$?
[[ $status == 1 && ! -s $work/out ]] || fail "conf-value NO_SUCH_VAR: status $status, output '$(cat "$work/out")'"
grep -qF "variable 'NO_SUCH_VAR' was found neither in /etc/vex/vex.conf, nor in compile-time defaults" "$work/err" \
  || fail "conf-value NO_SUCH_VAR did not say why: '$(cat "$work/err")'"

# --- pkg-config -----------------------------------------------------------------
# quill.pc names the prefix the build was configured for; point it at the copy.
export PKG_CONFIG_PATH=$libdir/pkgconfig
pkg_config="pkg-config --define-variable=prefix=$prefix"
[[ $($pkg_config --modversion quill) == $(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt") ]] \
  || fail "quill.pc has the version $($pkg_config --modversion quill)"
[[ " $($pkg_config --cflags quill) " == *" -I$prefix/include "* ]] \
  || fail "pkg-config --cflags quill lacks -I$prefix/include: $($pkg_config --cflags quill)"
mkdir "$work/pipeline"
make -C "$work/pipeline" -f "$source/examples/pipeline/Makefile" PKG_CONFIG="$pkg_config" \
  CXX="$cxx" CXXFLAGS="-O2 -Wall -Wextra -Werror $extra_flags" LDFLAGS="$extra_flags" \
  >"$work/pipeline.log" 2>&1 \
  || { cat "$work/pipeline.log" >&2; fail "examples/pipeline does not build with pkg-config"; }
sort_words=$work/pipeline/sort-words
export LD_LIBRARY_PATH=$libdir
uses_installed_library "$sort_words"
sorted=$("$sort_words" pear apple 'fig tree') || fail "sort-words failed"
[[ $sorted == $'apple\nfig tree\npear' ]] || fail "sort-words printed '$sorted'"
# A stage that cannot start is named in what the example reports.
status=0
PATH=/nonexistent "$sort_words" a >"$work/out" 2>"$work/err" || status=$?
[[ $status == 1 ]] || fail "sort-words without printf and sort in PATH gave status $status"
grep -q "could not exec printf: No such file or directory" "$work/err" \
  || fail "sort-words did not say which program could not start: $(cat "$work/err")"

echo "install test: installed copy complete; both examples built and ran against it"
