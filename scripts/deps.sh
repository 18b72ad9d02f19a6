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
    # A mirror in the middle of a sync serves index files that do not match
    # its release file, and a download can fail for a moment: each step is
    # tried a few times, a minute apart. An update that keeps failing for one
    # index does not stop the install, which fails by itself if that index
    # was needed.
    local attempt
    for attempt in 1 2 3 4; do
        $sudo apt-get update -qq && break
        [ "$attempt" -lt 4 ] || { echo "wirekit: apt-get update failed; installing from the lists at hand" >&2; break; }
        echo "wirekit: apt-get update failed; trying again in 60 s" >&2
        sleep 60
    done
    for attempt in 1 2 3 4; do
        $sudo apt-get install -y -qq "${missing[@]}" >/dev/null && return 0
        [ "$attempt" -lt 4 ] || return 1
        echo "wirekit: installing failed; trying again in 60 s" >&2
        sleep 60
        $sudo apt-get update -qq || true
    done
}
