#!/usr/bin/env bash
# Installs what building and testing hexburn needs on Debian 12. Safe to run
# again: it installs only what is missing, and asks apt nothing otherwise.
set -euo pipefail

packages=(
    g++ clang cmake ninja-build pkg-config ccache
    libftdi1-dev
    libsqlite3-0 libsqlite3-dev     # the record store (loaded at run time; the header for a test)
    libcpp-httplib-dev              # hexflash serve
    chromium fonts-dejavu-core      # the page's tests in a headless browser
    googletest libgtest-dev libgmock-dev
    srecord binutils
    python3                         # scripts/verdict.py
    libbenchmark-dev valgrind time  # bench/run.sh
    libclang-rt-14-dev              # libFuzzer and the sanitizers for clang (scripts/fuzz.sh)
    libpq5 libpq-dev                # the record store's PostgreSQL client and its header (a test)
    postgresql-15 postgresql-common # a throw-away server for the store's tests (pg_virtualenv)
)
# --windows: also the cross compiler and Wine (scripts/test-windows.sh).
if [[ ${1:-} == --windows ]]; then
    packages+=(g++-mingw-w64-x86-64 wine64)
fi

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if ((${#missing[@]} > 0)); then
    echo "setup: installing ${missing[*]}"
    sudo=""
    if [[ $(id -u) -ne 0 ]]; then
        sudo="sudo"
    fi
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
fi
