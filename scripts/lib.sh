# Shared by the scripts in this folder; sourced, not run.
# shellcheck shell=bash

# These are read by the scripts that source this file.
# shellcheck disable=SC2034
{
# The project's root, whatever folder the script was started from.
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
TITLE="SFML works!"
PROGRAM=sfml-works

# Debian and Ubuntu packages for each kind of use.
BUILD_PACKAGES=(g++ cmake make libsfml-dev)
# What scripts/run looks at the display, the window and the picture with.
RUN_PACKAGES=(x11-utils mesa-utils wmctrl imagemagick python3)
HEADLESS_PACKAGES=(xvfb openbox libgl1-mesa-dri "${RUN_PACKAGES[@]}")
TEST_PACKAGES=(python3 libx11-dev libxtst-dev devscripts valgrind clang)
LINT_PACKAGES=(clang-format clang-tidy cppcheck shellcheck)
BENCH_PACKAGES=(libgl-dev python3-matplotlib)
# What builds the program for Windows and runs it there.
WINDOWS_PACKAGES=(cmake make g++-mingw-w64-x86-64-posix libstb-dev libvulkan-dev
    debian-archive-keyring xz-utils wine wine64)
# What makes roots of other Debian releases.
MATRIX_PACKAGES=(mmdebstrap debian-archive-keyring)
# The display stacks the suite proves the program on.
STACKS_PACKAGES=(xserver-xorg-core xserver-xorg-video-dummy tigervnc-standalone-server
    xserver-xephyr weston xwayland i3-wm fluxbox icewm openssh-server openssh-client xauth xcompmgr picom)
# The desktops' window managers, remote displays, and what drives them as a
# person would. xpra's client draws nothing without Python's cairo bindings.
DESKTOP_PACKAGES=(mutter kwin-x11 kwin-style-breeze xfwm4 metacity marco
    mate-settings-daemon-common awesome bspwm herbstluftwm dwm x11vnc xpra python3-gi-cairo
    dbus-daemon xdotool)
}

say() { printf '==> %s\n' "$*" >&2; }
die() { printf '%s: %s\n' "$(basename "$0")" "$*" >&2; exit 1; }

# What each package gives that can be looked for on a system without dpkg.
provides() {
    case $1 in
        g++) echo c++ ;;
        xvfb) echo Xvfb ;;
        x11-utils) echo xprop ;;
        imagemagick) echo import ;;
        devscripts) echo hardening-check ;;
        mesa-utils) echo glxinfo ;;
        xserver-xorg-core) echo Xorg ;;
        tigervnc-standalone-server) echo Xvnc ;;
        xserver-xephyr) echo Xephyr ;;
        xwayland) echo Xwayland ;;
        i3-wm) echo i3 ;;
        openssh-server) echo sshd ;;
        openssh-client) echo ssh ;;
        g++-mingw-w64-x86-64-posix) echo x86_64-w64-mingw32-g++-posix ;;
        xz-utils) echo xz ;;
        wine64 | debian-archive-keyring) ;;
        xserver-xorg-video-dummy | kwin-style-breeze | mate-settings-daemon-common) ;;
        kwin-x11) echo kwin_x11 ;;
        dbus-daemon) echo dbus-daemon ;;
        lib* | python3-*) ;; # libraries: what uses them says when one is missing
        *) echo "$1" ;;
    esac
}

# install_packages PACKAGE...: install whichever of them are missing, with
# apt-get (through sudo when not root). Elsewhere there is no telling how to
# install them, so name them and stop unless their tools are already here.
install_packages() {
    local missing=() package tool
    if ! command -v apt-get >/dev/null || ! command -v dpkg-query >/dev/null; then
        for package in "$@"; do
            tool=$(provides "$package")
            [[ -z $tool ]] || command -v "$tool" >/dev/null || missing+=("$package")
        done
        ((${#missing[@]} == 0)) ||
            die "not a Debian or Ubuntu system: install your system's packages for these and run me again: $*"
        return 0
    fi
    # One query for all of them: each takes the package database's time.
    local installed
    installed=" $(dpkg-query -W -f='${Package}=${Status}\n' "$@" 2>/dev/null |
        sed -n 's/=install ok installed$//p' | tr '\n' ' ')" || true
    for package in "$@"; do
        [[ $installed == *" $package "* ]] || missing+=("$package")
    done
    ((${#missing[@]})) || return 0

    local sudo=()
    if ((EUID != 0)); then
        command -v sudo >/dev/null || die "need root or sudo to install: ${missing[*]}"
        sudo=(sudo)
    fi
    say "Installing ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null || die "could not install: ${missing[*]}"
}

# debian_archive: the Debian archive this machine installs from, the first
# among its apt sources (one-line or deb822 form) other than the security one.
debian_archive() {
    local uris
    uris=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
        awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; break } }'
        sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/*.sources 2>/dev/null | tr ' ' '\n')
    uris=$(grep -m1 -E '/debian/?$' <<<"$uris") || die "found no Debian archive in this machine's apt sources"
    echo "${uris%/}"
}

# configure PRESET [CMAKE_ARGS...] and build: CMake only rebuilds what changed.
configure_and_build() {
    local preset=$1
    shift
    say "Configuring ($preset)"
    cmake --preset "$preset" "$@" >/dev/null || die "CMake could not configure the $preset build"
    say "Building ($preset)"
    # The build's progress goes with the other progress lines, to stderr.
    cmake --build --preset "$preset" -j "$(cores)" >&2 ||
        die "the $preset build failed"
}

cores() { nproc 2>/dev/null || echo 2; }

# report_skipped BUILD_DIR: after a CTest run there, name each test case that
# did not run and why, as the suite's runner wrote it in CTest's log.
report_skipped() {
    local log="$1/Testing/Temporary/LastTest.log" skipped
    skipped=$(grep -h '^SKIPPED: ' "$log" 2>/dev/null | sed 's/^SKIPPED: /  /' | sort -u) || true
    [[ -n $skipped ]] || return 0
    say "Skipped, so not proven by this run:"
    printf '%s\n' "$skipped" >&2
}

# The Python that the tests and the benchmark run with: the system's, which
# has the packages installed above, rather than whichever is first on PATH.
python_for_tests() {
    if [[ -x /usr/bin/python3 ]]; then
        echo /usr/bin/python3
    else
        command -v python3
    fi
}

# wait_until SECONDS WHAT COMMAND...: poll COMMAND until it succeeds.
wait_until() {
    local seconds=$1 what=$2
    shift 2
    local deadline=$((SECONDS + seconds))
    until "$@"; do
        ((SECONDS < deadline)) || { say "Gave up after ${seconds}s waiting for $what"; return 1; }
        sleep 0.05
    done
}

# start_x LOG_DIR: a private Xvfb on a display number it picks itself, with
# openbox managing it. Sets DISPLAY, XVFB_PID and OPENBOX_PID; stop_x ends both.
start_x() {
    local log_dir=$1 fifo number
    fifo="$log_dir/displayfd"
    rm -f "$fifo"
    mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$fifo" >"$log_dir/xvfb.log" 2>&1 &
    XVFB_PID=$!
    if ! read -r -t 30 number <"$fifo" || [[ -z $number ]]; then
        rm -f "$fifo"
        die "Xvfb did not start; see $log_dir/xvfb.log"
    fi
    rm -f "$fifo"
    export DISPLAY=":$number"
    unset XAUTHORITY
    wait_until 30 "Xvfb to answer" xprop -root _NET_SUPPORTED >/dev/null 2>&1 ||
        die "Xvfb on $DISPLAY does not answer; see $log_dir/xvfb.log"
    # openbox announces itself on the root window well before it reads its
    # first events, and a window mapped in between may never be shown; the
    # command it runs just before its event loop marks it really ready.
    local ready="$log_dir/openbox-ready"
    rm -f "$ready"
    openbox --sm-disable --startup "touch '$ready'" >"$log_dir/openbox.log" 2>&1 &
    OPENBOX_PID=$!
    wait_until 30 "openbox" test -e "$ready" ||
        die "openbox did not start; see $log_dir/openbox.log"
}

# nudge_window_manager: change a property on the root window. A window
# manager that left a request to show a window unread in its queue while it
# started sleeps until the next event comes; this is one.
nudge_window_manager() {
    xprop -root -f _SFML_WORKS_NUDGE 32c -set _SFML_WORKS_NUDGE "$SECONDS" 2>/dev/null || true
}

# stop PID...: end each process that is still running, by its PID.
stop() {
    local pid
    for pid in "$@"; do
        if [[ -z $pid ]] || ! kill -0 "$pid" 2>/dev/null; then
            continue
        fi
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
}

stop_x() { stop "${OPENBOX_PID:-}" "${XVFB_PID:-}"; }

# program_window PID [STATE]: the id of the window titled $TITLE that belongs
# to process PID, or that names no process, and is shown (or in xwininfo's
# map state STATE, such as IsUnMapped). Looked for in the whole window tree,
# as not every window manager keeps a list of the windows it manages.
program_window() {
    local id pid state=${2:-IsViewable}
    for id in $(xwininfo -root -tree 2>/dev/null | grep -F "\"$TITLE\":" | grep -o '0x[0-9a-f]*' | head -20); do
        pid=$(xprop -id "$id" _NET_WM_PID 2>/dev/null | sed -n 's/^_NET_WM_PID(CARDINAL) = //p')
        if [[ -z $pid || $pid == "$1" ]] && xwininfo -id "$id" 2>/dev/null | grep -q "$state"; then
            printf '%s\n' "$id"
            return 0
        fi
    done
    return 1
}
