#!/usr/bin/env bash
# How often does scripts/run --headless see its window? A loop to rerun after
# a change to how the private display, its window manager or the program are
# started: too slow for the suite, and meant to run beside other load.
#   runs:  RUNS runs in a row, then PAIRS pairs run two at a time
#   roots: the first scripts/run in each of ROOTS fresh Debian 12 roots made
#          with mmdebstrap (installs, builds, runs), alternately as root and
#          as a user who goes through sudo; needs root
#   fontcache: RUNS runs in one such root, each after removing its fontconfig
#          cache, which changes how long openbox takes to start
# Prints each run's last line and ends with "N passed, N failed".
set -euo pipefail

usage="usage: tools/start_loop.sh runs [RUNS [PAIRS]] | roots [ROOTS] | fontcache [RUNS]"

# shellcheck source=scripts/lib.sh
source "$(dirname "$0")/../scripts/lib.sh"

passed=0
failed=0
# judge LOG: count the run whose output is in LOG, and show its last line.
judge() {
    local last
    last=$(tail -n 1 "$1")
    echo "$last"
    if [[ $last == OK:* ]]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

case ${1:-} in
    runs)
        runs=${2:-40} pairs=${3:-10}
        for ((i = 1; i <= runs; i++)); do
            "$ROOT/scripts/run" --headless --output "$work" >"$work/run.log" 2>&1 </dev/null || true
            judge "$work/run.log"
        done
        for ((i = 1; i <= pairs; i++)); do
            "$ROOT/scripts/run" --headless --output "$work/a" >"$work/a.log" 2>&1 </dev/null &
            "$ROOT/scripts/run" --headless --output "$work/b" >"$work/b.log" 2>&1 </dev/null &
            wait || true
            judge "$work/a.log"
            judge "$work/b.log"
        done
        ;;
    roots | fontcache)
        ((EUID == 0)) || die "making roots needs root"
        install_packages "${MATRIX_PACKAGES[@]}"
        root="$work/root"
        # make_root: a fresh Debian 12 root holding only apt and sudo, the
        # source at /src, and a user who goes through sudo.
        make_root() {
            rm -rf "$root"
            mmdebstrap --quiet --variant=apt --include=sudo,ca-certificates bookworm "$root" \
                "$(debian_archive)"
            mkdir -p "$root/src"
            git -C "$ROOT" ls-files -z | (cd "$ROOT" && xargs -0 cp --parents -t "$root/src")
            chroot "$root" useradd -m tester
            echo 'tester ALL=(ALL) NOPASSWD: ALL' >"$root/etc/sudoers.d/tester"
            chroot "$root" chown -R tester /src
        }
        # run_in_root USER: scripts/run --headless there as USER, into run.log.
        run_in_root() {
            # shellcheck disable=SC2016
            unshare --mount --pid --fork --kill-child -- /bin/sh -c '
                mount --make-rprivate /
                mount -t proc proc "$1/proc"
                mount --rbind /dev "$1/dev"
                mount -t tmpfs tmpfs "$1/tmp"
                exec chroot "$1" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
                    LANG=C.UTF-8 runuser -l "$2" -c "/src/scripts/run --headless"
            ' sh "$root" "$1" >"$work/run.log" 2>&1 </dev/null || true
        }
        if [[ $1 == roots ]]; then
            for ((i = 1; i <= ${2:-5}; i++)); do
                user=root
                ((i % 2)) || user=tester
                say "Fresh Debian 12 root $i, scripts/run as $user"
                make_root
                run_in_root "$user"
                judge "$work/run.log"
            done
        else
            say "A Debian 12 root, then scripts/run each time its fontconfig cache is gone"
            make_root
            run_in_root tester
            for ((i = 1; i <= ${2:-10}; i++)); do
                rm -rf "$root"/var/cache/fontconfig/*
                run_in_root tester
                judge "$work/run.log"
            done
        fi
        rm -rf "$root"
        ;;
    *) echo "$usage" >&2; exit 2 ;;
esac
echo "$passed passed, $failed failed"
((failed == 0))
