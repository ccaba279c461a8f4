#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12 (run as root).
#   --windows  also the MinGW-w64 cross compilers and Wine, for the Windows builds and their tests
#   --bench    also gnuplot, for the benchmark's plot
set -euo pipefail

windows=0
bench=0
for arg in "$@"; do
  case "$arg" in
    --windows) windows=1 ;;
    --bench) bench=1 ;;
    *) echo "usage: $0 [--windows] [--bench]" >&2; exit 2 ;;
  esac
done

export DEBIAN_FRONTEND=noninteractive
packages=(cmake make g++ clang libclang-rt-14-dev openjdk-17-jdk-headless junit5 libjna-java libjna-jni
          googletest libgtest-dev valgrind locales)
[ "$bench" = 1 ] && packages+=(gnuplot-nox)

if [ "$windows" = 1 ]; then
  dpkg --add-architecture i386
fi
apt-get update -qq
apt-get install -y -qq "${packages[@]}" >/dev/null

if [ "$windows" = 1 ]; then
  # Without them the Windows suites are skipped and say so; the Linux suites still run.
  if ! apt-get install -y -qq g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix \
       wine wine64 wine32:i386 >/dev/null; then
    echo "install-dependencies: the Windows toolchain or Wine could not be installed" >&2
  fi
fi

# Wine takes its ANSI code page from the locale; the walk's double-byte test runs under
# ja_JP.UTF-8 (code page 932), which must exist for that.
if [ "$windows" = 1 ] && ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
  localedef -i ja_JP -f UTF-8 ja_JP.UTF-8 || echo "install-dependencies: could not make the ja_JP.UTF-8 locale" >&2
fi
