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
    # WIREKIT_INSTALL_ATTEMPTS (default 4) sets how many tries.
    local attempts=${WIREKIT_INSTALL_ATTEMPTS:-4}
    # shellcheck disable=SC2086
    wirekit_retry "$attempts" "" $sudo apt-get update -qq \
        || echo "wirekit: apt-get update failed; installing from the lists at hand" >&2
    # shellcheck disable=SC2086
    wirekit_retry "$attempts" "$sudo apt-get update -qq" \
        $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Runs a command (the arguments after the first two) up to ATTEMPTS times, a
# minute apart, running BETWEEN (a command line, may be empty) before each
# new try: wirekit_retry ATTEMPTS BETWEEN COMMAND... Fails when every try did.
wirekit_retry() {
    local attempts=$1 between=$2 attempt
    shift 2
    for ((attempt = 1; ; attempt++)); do
        "$@" && return 0
        [ "$attempt" -lt "$attempts" ] || return 1
        echo "wirekit: '$*' failed; trying again in 60 s" >&2
        sleep 60
        [ -z "$between" ] || eval "$between" || true
    done
}

# 32-bit Wine needs every library it shares with the 64-bit side in the same
# version on both architectures. While a mirror serves the i386 list of the
# security suite out of step with its release file, that list is missing and
# no such pair can be found: the 64-bit side has the security updates, the
# i386 side has not. Wine (both widths, with the libraries the resolver
# names) is then installed from the release suite itself, which has every
# library on both architectures.
wirekit_install_wine_from_release() {
    local sudo="" codename out libs wanted=("$@")
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    [ -n "$codename" ] || return 1
    echo "wirekit: the i386 and amd64 package lists disagree; installing Wine from $codename itself" >&2
    # The 64-bit loader goes with it, in the matching version.
    dpkg-query -W -f='${Status}' wine64 2>/dev/null | grep -q "install ok installed" && wanted+=(wine64)
    local round
    for round in 1 2 3 4 5 6; do
        out=$($sudo apt-get install -y -q -t "$codename" "${wanted[@]}" 2>&1) && return 0
        # The i386 libraries the resolver could not place are installed on
        # their own first (which may replace their amd64 twins and what
        # needs them); the next round puts those back in matching versions.
        libs=$(grep -oE "Depends: [a-z0-9][a-z0-9.+-]*:i386" <<<"$out" | awk '{print $2}' | sort -u)
        if [ -z "$libs" ]; then
            echo "$out" | tail -n 5 >&2
            return 1
        fi
        # shellcheck disable=SC2086
        $sudo apt-get install -y -qq -t "$codename" $libs >/dev/null 2>&1 || true
    done
    return 1
}
