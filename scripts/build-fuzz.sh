#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and UBSan into build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQVR_FUZZ=ON \
  -DQVR_SANITIZE=ON >/dev/null
cmake --build build-fuzz -j 2 --target decode_fuzzer entry_fuzzer roundtrip_fuzzer library_fuzzer stream_fuzzer \
  decode_large_fuzzer
