#!/bin/sh
# Installs what is missing, builds with AddressSanitizer+UndefinedBehaviorSanitizer and runs the
# whole test suite; then runs the threaded write-pipeline tests again under ThreadSanitizer.
# Loop-device, namespace and mount tests need root (CI runs as root); without it they skip.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQ5_SANITIZE=address
ctest --test-dir build-asan --output-on-failure --timeout 600

# The multi-threaded parts once more under ThreadSanitizer.
tsan_tests="tst_writeengine tst_imagewriter tst_drivelistmodelpollthread tst_transfer"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQ5_SANITIZE=thread
cmake --build build-tsan -j "$(nproc)" --target $tsan_tests
ctest --test-dir build-tsan --output-on-failure --timeout 600 \
    -R "^($(echo $tsan_tests | tr ' ' '|'))\$"

