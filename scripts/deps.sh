#!/usr/bin/env bash
# Installs the packages wirekit needs to build and test, if any is missing.
# Sourced by the other scripts; extra package names may be passed in
# WIREKIT_EXTRA_PACKAGES.
wirekit_install_deps() {
    local wanted=(cmake ninja-build g++ pkg-config zlib1g-dev googletest libgtest-dev binutils
                  libssl-dev ${WIREKIT_EXTRA_PACKAGES:-})
    local missing=()
    for p in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "wirekit: installing ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}
