#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing need,
# skipping those already installed, and unpacks the FTP servers of the
# transfer tool's tests (below).
set -euo pipefail

packages=(
    cmake ninja-build g++                # native logic build and its tests
    g++-mingw-w64-x86-64-posix           # the Windows build
    googletest                           # GoogleTest sources, built with each toolchain
    wine wine64 xvfb                     # running and testing the Windows programs
    locales                              # localedef, for the Japanese desktop
    python3-pyftpdlib                    # the FTP server of the transfer tool's tests
    python3-openssl                      # its TLS, and the test CA's certificates (cryptography)
    git                                  # the day of real tools in the convergence test
    lftp                                 # the yardstick of the FTP benchmark
    clang libclang-rt-14-dev             # fuzz targets (libFuzzer) and the thread-sanitizer build
    clang-format                         # the formatting check of the sources
    tmux                                 # a real terminal for the run command's check
    procps                               # pkill, which passes Ctrl-C on in the Wine bench
    openssl                              # the FTP test servers' certificates and password hashes
    # What vsftpd and proftpd (with mod_tls) link to; the servers themselves are unpacked below.
    libcap2 libpam0g libssl3 libwrap0 libacl1 libcrypt1 libhiredis0.14 libidn2-0 libmemcached11
    libmemcachedutil2 libncursesw6 libpcre2-8-0 libpcre2-posix3 libtinfo6 zlib1g libsodium23
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
sudo=""
if [ "$(id -u)" != 0 ]; then
    sudo="sudo"
fi
updated=""
if [ ${#missing[@]} -ne 0 ]; then
    echo "setup: installing ${missing[*]}" >&2
    $sudo apt-get update -qq
    updated=1
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# vsftpd and proftpd as Debian ships them, for the FTP tests. Installed, each would start a
# system service on port 21 (and the two conflict), so their packages are only unpacked, each
# into a folder of its own that the tests know; a test starts the server on 127.0.0.1 itself.
servers=/opt/pellaro-ftp-servers
declare -A server_packages=([vsftpd]="vsftpd" [proftpd]="proftpd-core proftpd-mod-crypto")
for server in vsftpd proftpd; do
    if [ -x "$servers/$server/usr/sbin/$server" ]; then
        continue
    fi
    echo "setup: unpacking $server into $servers/$server" >&2
    if [ -z "$updated" ]; then
        $sudo apt-get update -qq
        updated=1
    fi
    download="$(mktemp -d)"
    (cd "$download" && chmod a+rwx . && apt-get download -qq ${server_packages[$server]})
    $sudo rm -rf "$servers/$server.part"
    $sudo mkdir -p "$servers/$server.part"
    for deb in "$download"/*.deb; do
        $sudo dpkg -x "$deb" "$servers/$server.part"
    done
    rm -rf "$download"
    $sudo mv "$servers/$server.part" "$servers/$server"
done
