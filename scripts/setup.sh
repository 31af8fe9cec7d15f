#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test Quillmere:
# a C++20 compiler, CMake, Ninja, GoogleTest and Google Benchmark; htslib,
# OpenSSL libcrypto and nlohmann-json for the genotype files and the run
# manifest; plink2, bcftools and tabix, which the tests use to read them back.
# Needs root (apt-get) only when something is missing.
set -euo pipefail
need=()
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
command -v pkg-config >/dev/null 2>&1 || need+=(pkg-config)
[ -f /usr/include/htslib/vcf.h ] || need+=(libhts-dev)
[ -f /usr/include/openssl/evp.h ] || need+=(libssl-dev)
[ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
command -v plink2 >/dev/null 2>&1 || need+=(plink2)
command -v bcftools >/dev/null 2>&1 || need+=(bcftools)
command -v tabix >/dev/null 2>&1 || need+=(tabix)
if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${need[@]}"
fi
