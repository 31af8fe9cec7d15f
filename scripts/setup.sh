#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test Quillmere:
# a C++20 compiler, CMake, Ninja, GoogleTest, Google Benchmark and Eigen
# (dense reference solves in the tests).
# Needs root (apt-get) only when something is missing.
set -euo pipefail
need=()
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
[ -f /usr/include/eigen3/Eigen/Dense ] || need+=(libeigen3-dev)
if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${need[@]}"
fi
