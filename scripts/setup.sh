#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test Quillmere:
#  build      a C++20 compiler, CMake, Ninja, CLI11 (options), nlohmann-json
#             (run.json), htslib (VCF/BGZF), OpenSSL's libcrypto (SHA-256),
#             toml++ (scheme files), zlib (CRC-32), Eigen (the small dense solves of
#             the selection index), help2man (the manual page from --help)
#  tests      GoogleTest, Google Benchmark, Eigen (dense reference solves),
#             plink2, bcftools and tabix (real readers of the PLINK and VCF
#             files), xmllint (the report), GNU parallel, Slurm and munge (the
#             replicate recipes), clang (the fuzz target and its runtime)
# Needs root (apt-get) only when something is missing.
set -euo pipefail
need=()
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
command -v pkg-config >/dev/null 2>&1 || need+=(pkg-config)
[ -f /usr/include/CLI/CLI.hpp ] || need+=(libcli11-dev)
[ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
[ -f /usr/include/htslib/vcf.h ] || need+=(libhts-dev)
[ -f /usr/include/openssl/evp.h ] || need+=(libssl-dev)
[ -f /usr/include/zlib.h ] || need+=(zlib1g-dev)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
[ -f /usr/include/eigen3/Eigen/Dense ] || need+=(libeigen3-dev)
[ -f /usr/include/toml++/toml.h ] || need+=(libtomlplusplus-dev)
command -v plink2 >/dev/null 2>&1 || need+=(plink2)
command -v bcftools >/dev/null 2>&1 || need+=(bcftools)
command -v tabix >/dev/null 2>&1 || need+=(tabix)
command -v xmllint >/dev/null 2>&1 || need+=(libxml2-utils)
command -v parallel >/dev/null 2>&1 || need+=(parallel)
command -v slurmctld >/dev/null 2>&1 || need+=(slurm-wlm)
command -v munged >/dev/null 2>&1 || need+=(munge)
command -v help2man >/dev/null 2>&1 || need+=(help2man)
command -v clang++-14 >/dev/null 2>&1 || need+=(clang-14)
[ -d /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux ] || need+=(libclang-rt-14-dev)
if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${need[@]}"
fi
