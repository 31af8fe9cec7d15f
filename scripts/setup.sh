#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test Quillmere:
# a C++20 compiler, CMake, Ninja, GoogleTest and Google Benchmark; nlohmann-json
# for run.json; xmllint for the report test; Slurm, munge and GNU parallel for
# the scheduler recipes and their test.
# Needs root (apt-get) only when something is missing.
set -euo pipefail
need=()
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
# -- summary, merge, report and scheduler recipes
[ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
command -v xmllint >/dev/null 2>&1 || need+=(libxml2-utils)
command -v parallel >/dev/null 2>&1 || need+=(parallel)
command -v slurmctld >/dev/null 2>&1 || need+=(slurm-wlm)
command -v munged >/dev/null 2>&1 || need+=(munge)
# -- end summary block
if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${need[@]}"
fi
