#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing need,
# skipping those already installed.
set -euo pipefail

packages=(
    cmake ninja-build g++                # native logic build and its tests
    g++-mingw-w64-x86-64-posix           # the Windows build
    googletest                           # GoogleTest sources, built with each toolchain
    wine wine64 xvfb                     # running and testing the Windows programs
    locales                              # localedef, for the Japanese desktop
    python3-pyftpdlib                    # the FTP server of the transfer tool's tests
    lftp                                 # the yardstick of the FTP benchmark
    clang libclang-rt-14-dev             # fuzz targets (libFuzzer) and the thread-sanitizer build
    clang-format                         # the formatting check of the sources
    tmux                                 # a real terminal for the run command's check
    procps                               # pkill, which passes Ctrl-C on in the Wine bench
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo=""
if [ "$(id -u)" != 0 ]; then
    sudo="sudo"
fi
echo "setup: installing ${missing[*]}" >&2
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
