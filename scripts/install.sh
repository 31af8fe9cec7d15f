#!/usr/bin/env bash
# Builds quillmere (Release, without the tests) in build-install/ and installs
# the program and its manual page with cmake --install:
#
#   bash scripts/install.sh [PREFIX]
#
# PREFIX defaults to /usr/local when it may be written to (as root), otherwise
# to ~/.local. The program goes to PREFIX/bin, the page to
# PREFIX/share/man/man1 (man quillmere). Says so when PREFIX/bin is not on the
# PATH.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -ge 1 ]; then
  prefix=$1
elif [ -w /usr/local ] || [ "$(id -u)" -eq 0 ]; then
  prefix=/usr/local
else
  prefix=$HOME/.local
fi
bash "$top/scripts/setup.sh"
cmake -S "$top" -B "$top/build-install" -G Ninja -DQM_TESTS=OFF -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
ninja -C "$top/build-install"
cmake --install "$top/build-install"
bin=$(cd "$prefix/bin" && pwd)
case ":$PATH:" in
  *":$bin:"*) echo "install.sh: quillmere is installed in $bin ($("$bin/quillmere" --version))." ;;
  *) echo "install.sh: quillmere is installed in $bin, which is not on your PATH: add"
     echo "  export PATH=\"$bin:\$PATH\""
     echo "to your shell's startup file (~/.bashrc)." ;;
esac
