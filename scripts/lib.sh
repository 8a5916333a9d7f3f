# Shared by the scripts in this folder; sourced, not run.
# shellcheck shell=bash

# These are read by the scripts that source this file.
# shellcheck disable=SC2034
{
# The project's root, whatever folder the script was started from.
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PROGRAM=sfml-works

# Debian and Ubuntu packages for each kind of use. SFML itself is chosen by
# find_sfml: the system's package where it is SFML 2, else a build from source.
BUILD_PACKAGES=(g++ cmake make)
SFML_PACKAGE=libsfml-dev
# What scripts/run looks at the display, the window and the picture with.
RUN_PACKAGES=(x11-utils mesa-utils wmctrl imagemagick python3 python3-pil python3-numpy)
HEADLESS_PACKAGES=(xvfb openbox libgl1-mesa-dri "${RUN_PACKAGES[@]}")
TEST_PACKAGES=(python3 python3-pytest python3-jsonschema libxml2-utils libx11-dev libxtst-dev devscripts
    valgrind clang git)
LINT_PACKAGES=(clang-format clang-tidy cppcheck shellcheck ansible-lint)
BENCH_PACKAGES=(libgl-dev python3-matplotlib)
# What makes the Debian package and checks it.
PACKAGE_PACKAGES=(dpkg-dev lintian)
# What runs the fleet playbook (fleet/).
FLEET_PACKAGES=(ansible)
# What builds the program for Windows and runs it there.
WINDOWS_PACKAGES=(cmake make g++-mingw-w64-x86-64-posix libstb-dev libvulkan-dev
    debian-archive-keyring xz-utils wine wine64)
# SFML 2 built from source, where the system's package is SFML 3 or there is
# none: the release; Debian 13's source package, its original tarball, that
# tarball's SHA-256 and the folder it unpacks to; and what its system, window
# and graphics modules build with. Debian's tarball leaves out the stb and
# Vulkan headers SFML bundles; Debian's packages of them stand in.
SFML2_VERSION=2.6.2
SFML2_SOURCE="libsfml libsfml_2.6.2+dfsg.orig.tar.xz 291e4629d0bcb18dfdf5ba5abf9240afdb31c15496d5078e2c7f540311855b68 SFML-2.6.2"
SFML2_BUILD_PACKAGES=(g++ cmake make xz-utils libx11-dev libxrandr-dev libxcursor-dev
    libudev-dev libgl-dev libfreetype-dev libstb-dev libvulkan-dev)
# What makes roots of other Debian releases.
MATRIX_PACKAGES=(mmdebstrap debian-archive-keyring)
# The display stacks the suite proves the program on.
STACKS_PACKAGES=(xserver-xorg-core xserver-xorg-video-dummy tigervnc-standalone-server
    xserver-xephyr weston xwayland i3-wm fluxbox icewm openssh-client xauth xcompmgr
    picom nxagent xorgxrdp "freerdp3-x11|freerdp2-x11" openssl xdotool mount)
# These packages start a login server for the whole machine as they install
# (sshd on port 22, xrdp on 3389, on every interface), so only a throw-away
# machine (CI) installs them; elsewhere the rows that need them skip.
MACHINE_SERVER_PACKAGES=(openssh-server xrdp)
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
        freerdp3-x11) echo xfreerdp3 ;;
        freerdp2-x11) echo xfreerdp ;;
        g++-mingw-w64-x86-64-posix) echo x86_64-w64-mingw32-g++-posix ;;
        xz-utils) echo xz ;;
        wine64 | debian-archive-keyring) ;;
        xserver-xorg-video-dummy | kwin-style-breeze | mate-settings-daemon-common) ;;
        kwin-x11) echo kwin_x11 ;;
        dbus-daemon) echo dbus-daemon ;;
        # Python's modules, looked for by the Python the checker runs with.
        python3-pil) echo python3:PIL ;;
        python3-numpy | python3-pytest | python3-matplotlib | python3-jsonschema)
            echo "python3:${1#python3-}" ;;
        libxml2-utils) echo xmllint ;;
        lib* | python3-*) ;; # libraries: what uses them says when one is missing
        *) echo "$1" ;;
    esac
}

# install_packages [--if-available] PACKAGE...: install whichever of them are
# missing, with apt-get (through sudo when not root). A PACKAGE may name
# alternatives, "new|old", for a package a release renamed: one installed
# already will do, else the first that this system's archive offers. A package
# the archive lacks stops the install, or, with --if-available, is named once
# and left out, so that what needs it skips. Elsewhere there is no telling how
# to install them, so name them and stop unless their tools are already here.
install_packages() {
    local optional='' missing=() package tool alternative
    [[ ${1:-} != --if-available ]] || { optional=1; shift; }
    if ! command -v apt-get >/dev/null || ! command -v dpkg-query >/dev/null; then
        for package in "$@"; do
            for alternative in ${package//|/ }; do
                tool=$(provides "$alternative")
                case $tool in
                    python3:*) "$(python_for_tests)" -c "import ${tool#python3:}" 2>/dev/null ;;
                    ?*) command -v "$tool" >/dev/null ;;
                esac && continue 2
            done
            [[ -n $optional ]] || missing+=("$package")
        done
        ((${#missing[@]} == 0)) ||
            die "not a Debian or Ubuntu system: install your system's packages for these (Debian's names) and run me again: ${missing[*]}"
        return 0
    fi
    # One query for all of them: each takes the package database's time.
    local installed
    # shellcheck disable=SC2046 # the alternatives are split on purpose
    installed=" $(dpkg-query -W -f='${Package}=${Status}\n' $(tr '|' ' ' <<<"$*") 2>/dev/null |
        sed -n 's/=install ok installed$//p' | tr '\n' ' ')" || true
    for package in "$@"; do
        for alternative in ${package//|/ }; do
            [[ $installed != *" $alternative "* ]] || continue 2
        done
        missing+=("$package")
    done
    ((${#missing[@]})) || return 0

    local sudo=() chosen=() absent=() indexed=''
    if ((EUID != 0)); then
        command -v sudo >/dev/null || die "need root or sudo to install: ${missing[*]}"
        sudo=(sudo)
    fi
    # What the archive offers, as apt last read it: where it offers none of
    # what is missing, and all of that may be left out, the index need not be
    # read again on every run.
    if compgen -G '/var/lib/apt/lists/*_Packages*' >/dev/null; then
        indexed=1
        offered_packages "${missing[@]}"
    fi
    if ((${#chosen[@]})) || [[ -z $optional || -z $indexed ]]; then
        "${sudo[@]}" apt-get update -qq
        offered_packages "${missing[@]}"
    fi
    if ((${#absent[@]})); then
        [[ -n $optional ]] || die "not in this release's archive: ${absent[*]}"
        for package in "${absent[@]}"; do
            say "not in this release: $package: its rows will skip"
        done
    fi
    ((${#chosen[@]})) || return 0
    say "Installing ${chosen[*]}"
    # Another install under way (another script, unattended upgrades) is
    # waited for, as a person at the prompt would.
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        -o DPkg::Lock::Timeout=600 \
        "${chosen[@]}" >/dev/null || die "could not install: ${chosen[*]}"
}

# offered_packages PACKAGE...: sets chosen to the first alternative of each
# PACKAGE that apt's index offers, and absent to those it offers none of.
offered_packages() {
    local offered package alternative
    chosen=() absent=()
    # shellcheck disable=SC2046 # the alternatives are split on purpose
    offered=" $(apt-cache policy $(tr '|' ' ' <<<"$*") 2>/dev/null | awk '
        /^[^ ]/ { name = $1; sub(/:$/, "", name) }
        /^ +Candidate:/ && $2 != "(none)" { printf "%s ", name }')"
    for package in "$@"; do
        for alternative in ${package//|/ }; do
            if [[ $offered == *" $alternative "* ]]; then
                chosen+=("$alternative")
                continue 2
            fi
        done
        absent+=("${package//|/ or }")
    done
}

# archive_uri NAME: the archive of distribution NAME (debian, ubuntu) that this
# machine installs from, the first among its apt sources (one-line or deb822
# form) other than the security one; fails if there is none.
archive_uri() {
    local uris
    uris=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
        awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; break } }'
        sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/*.sources 2>/dev/null | tr ' ' '\n')
    uris=$(grep -m1 -E "/$1/?\$" <<<"$uris") || return 1
    echo "${uris%/}"
}

debian_archive() { archive_uri debian || die "found no Debian archive in this machine's apt sources"; }

# source_release: where this machine's own archive serves the sources built
# here, as "ARCHIVE SUITE COMPONENT KEYRING": Debian 13 on Debian, Ubuntu
# 25.10 (the last with SFML 2.6.2) on Ubuntu; fails elsewhere.
source_release() {
    local archive
    if archive=$(archive_uri debian); then
        echo "$archive trixie main /usr/share/keyrings/debian-archive-keyring.gpg"
    elif archive=$(archive_uri ubuntu); then
        echo "$archive questing universe /usr/share/keyrings/ubuntu-archive-keyring.gpg"
    else
        return 1
    fi
}

# fetch_sources FOLDER SOURCE...: make sure FOLDER holds the original tarball of
# each SOURCE ("PACKAGE TARBALL SHA256 FOLDER"), fetching those it lacks from
# this machine's archive. apt checks the release's source index against the
# archive's signature; the index must give the tarball the SHA-256 named
# here, and the download is checked against it. Says what is wrong and fails.
fetch_sources() {
    local folder=$1 source package tarball sha256 absent=()
    shift
    for source in "$@"; do
        read -r _ tarball sha256 _ <<<"$source"
        if [[ $(sha256sum "$folder/$tarball" 2>/dev/null) != "$sha256 "* ]]; then
            rm -f "$folder/$tarball"
            absent+=("$source")
        fi
    done
    ((${#absent[@]})) || return 0

    local archive suite component keyring apt_dir="$folder/apt"
    read -r archive suite component keyring < <(source_release) ||
        { say "This machine installs from neither Debian's nor Ubuntu's archive"; return 1; }
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
    # A private apt configuration that reads only this release's sources.
    local apt_options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
        -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o Debug::NoLocking=1)
    echo "deb-src [signed-by=$keyring] $archive $suite $component" >"$apt_dir/sources.list"
    say "Reading $suite's source index from $archive"
    apt-get -qq "${apt_options[@]}" update >/dev/null 2>&1 || true
    for source in "${absent[@]}"; do
        read -r package tarball sha256 _ <<<"$source"
        local record directory listed
        record=$(apt-cache "${apt_options[@]}" showsrc "$package" 2>/dev/null) || true
        directory=$(sed -n 's/^Directory: //p' <<<"$record" | head -1)
        listed=$(awk -v f="$tarball" '$3 == f && length($1) == 64 { print $1; exit }' <<<"$record")
        if [[ -z $directory || -z $listed ]]; then
            say "Could not read $suite's source index from $archive, or it has no $tarball"
            return 1
        fi
        if [[ $listed != "$sha256" ]]; then
            say "$suite's source index gives $tarball the SHA-256 $listed, not $sha256: refusing it"
            return 1
        fi
        say "Fetching $tarball"
        if ! /usr/lib/apt/apt-helper download-file "$archive/$directory/$tarball" \
            "$folder/$tarball.part" "SHA256:$sha256" >/dev/null 2>&1 ||
            [[ $(sha256sum "$folder/$tarball.part") != "$sha256 "* ]]; then
            rm -f "$folder/$tarball.part"
            say "Could not fetch $tarball from $archive, or its SHA-256 is not $sha256"
            return 1
        fi
        mv "$folder/$tarball.part" "$folder/$tarball"
    done
}

# unpack_sfml2 DOWNLOADS FOLDER: SFML 2's source from its tarball in DOWNLOADS,
# unpacked into FOLDER/SFML-2.6.2 with the headers it bundles put back.
unpack_sfml2() {
    local downloads=$1 folder=$2 tarball unpacked source
    read -r _ tarball _ unpacked <<<"$SFML2_SOURCE"
    source="$folder/$unpacked"
    rm -rf "$source"
    mkdir -p "$folder"
    tar -xf "$downloads/$tarball" -C "$folder" || return 1
    mkdir -p "$source/extlibs/headers/stb_image" "$source/extlibs/headers/vulkan"
    cp /usr/include/stb/stb_image.h /usr/include/stb/stb_image_write.h \
        "$source/extlibs/headers/stb_image/"
    cp -r /usr/include/vulkan/. /usr/include/vk_video "$source/extlibs/headers/vulkan/"
}

# sfml_package_version: the version of the system's SFML package, installed or
# to be had ("3.1.0"), or nothing where there is none.
sfml_package_version() {
    local version
    version=$(dpkg-query -W -f='${Status} ${Version}' "$SFML_PACKAGE" 2>/dev/null |
        sed -n 's/^install ok installed //p') || true
    [[ -n $version ]] ||
        version=$(apt-cache policy "$SFML_PACKAGE" 2>/dev/null | sed -n 's/^ *Candidate: //p')
    [[ $version != "(none)" ]] || version=
    version=${version#*:}
    echo "${version%%[+~-]*}"
}

# sfml_config_version DIR: the release of the SFML whose SFMLConfig.cmake is in DIR.
sfml_config_version() {
    sed -n 's/^ *set(PACKAGE_VERSION "\([0-9.]*\)").*/\1/p' "$1/SFMLConfigVersion.cmake" 2>/dev/null | head -1
}

SFML2_PREFIX="$ROOT/build/sfml-$SFML2_VERSION"
# Written last into the prefix, holding the source's SHA-256: a build that was
# interrupted or failed has none, and is made again.
SFML2_DONE="$SFML2_PREFIX/.built-from"

# build_sfml2: SFML 2's system, window and graphics modules, built from source
# into SFML2_PREFIX, unless a build of the same source finished there.
build_sfml2() {
    local sha256 package work="$ROOT/build/sfml-$SFML2_VERSION-build" source
    read -r _ _ sha256 _ <<<"$SFML2_SOURCE"
    [[ $(cat "$SFML2_DONE" 2>/dev/null) != "$sha256" ]] || return 0
    package=$(sfml_package_version)
    if [[ -n $package ]]; then
        say "SFML $package is this system's package and the program needs SFML 2: building SFML $SFML2_VERSION from source, once (about 2 minutes)"
    else
        say "This system has no SFML package and the program needs SFML 2: building SFML $SFML2_VERSION from source, once (about 2 minutes)"
    fi
    install_packages "${SFML2_BUILD_PACKAGES[@]}"
    local by_hand="or build SFML 2 by hand: the CMake error of a plain 'cmake -B build' gives the commands"
    fetch_sources "$ROOT/build/downloads" "$SFML2_SOURCE" ||
        die "could not get SFML $SFML2_VERSION's source from this machine's archive; configure with -DSFML_WORKS_FETCH_SFML=ON to fetch SFML's own release instead (cmake --preset release -DSFML_WORKS_FETCH_SFML=ON), $by_hand"
    rm -rf "$SFML2_PREFIX" "$work"
    unpack_sfml2 "$ROOT/build/downloads" "$work" || die "could not unpack SFML $SFML2_VERSION's source into $work"
    read -r _ _ _ source <<<"$SFML2_SOURCE"
    # Installed libraries find each other beside themselves.
    if ! cmake -S "$work/$source" -B "$work/build" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$SFML2_PREFIX" -DCMAKE_INSTALL_RPATH="\$ORIGIN" \
        -DSFML_BUILD_AUDIO=OFF -DSFML_BUILD_NETWORK=OFF -DSFML_BUILD_EXAMPLES=OFF \
        -DSFML_BUILD_DOC=OFF -DSFML_INSTALL_PKGCONFIG_FILES=OFF >"$work/build.log" 2>&1 ||
        ! cmake --build "$work/build" --target install -j "$(cores)" >>"$work/build.log" 2>&1; then
        die "SFML $SFML2_VERSION did not build (see $work/build.log); the next run starts its build again"
    fi
    echo "$sha256" >"$SFML2_DONE"
    rm -rf "$work"
    say "SFML $SFML2_VERSION is built in $SFML2_PREFIX"
}

# find_sfml PRESET: sets SFML_CMAKE_ARGS to what the PRESET build needs to find
# SFML 2. Nothing where CMake finds it by itself: an SFML 2 the build was
# configured with, one that SFML_DIR names (CMake reads it from the
# environment too) or installed under /usr/local, the system's package where
# it is SFML 2 (installed first), or a system without apt (CMake's error then
# says what to do).
# Elsewhere SFML 2 is built from source, once, and SFML_DIR points at it.
SFML_CMAKE_ARGS=()
find_sfml() {
    local configured dir package
    SFML_CMAKE_ARGS=()
    configured=$(configured_sfml_dir "$1")
    if [[ $configured == "$SFML2_PREFIX/"* ]]; then
        build_sfml2
        return 0
    fi
    # One the build was configured with, the user's, or one installed by hand.
    for dir in "$configured" "${SFML_DIR:-}" /usr/local/lib/cmake/SFML /usr/local/lib/*/cmake/SFML; do
        [[ $(sfml_config_version "$dir") != 2.* ]] || return 0
    done
    command -v apt-get >/dev/null && command -v dpkg-query >/dev/null || return 0
    package=$(sfml_package_version)
    if [[ $package == 2.* ]]; then
        install_packages "$SFML_PACKAGE"
        return 0
    fi
    build_sfml2
    SFML_CMAKE_ARGS=(-DSFML_DIR="$SFML2_PREFIX/lib/cmake/SFML")
}

# configured_sfml_dir PRESET: the SFML_DIR the PRESET build was configured
# with (cached as a PATH once found, as given on the command line before).
configured_sfml_dir() {
    sed -n 's/^SFML_DIR:[A-Z]*=//p' "$ROOT/build/$1/CMakeCache.txt" 2>/dev/null || true
}

# sfml_source PRESET: where the SFML of the PRESET build came from: built
# (from source here, or with the program) or system.
sfml_source() {
    if [[ $(configured_sfml_dir "$1") == "$SFML2_PREFIX/"* ]] ||
        grep -qx 'SFML_WORKS_FETCH_SFML:BOOL=ON' "$ROOT/build/$1/CMakeCache.txt"; then
        echo built
    else
        echo system
    fi
}

# own_build_folder: stop, and say how to mend it, where the build folder
# cannot be written (a read-only checkout) or holds something of another
# user's, as an earlier sudo scripts/run leaves it: CMake and the compiler
# would fail on it with no word of why.
own_build_folder() {
    local stranger me
    ((EUID == 0)) || stranger=$(find "$ROOT/build" ! -user "$EUID" -print -quit 2>/dev/null) || true
    if [[ -n ${stranger:-} ]]; then
        me=$(id -un 2>/dev/null || id -u)
        die "the build cannot write to $stranger: it belongs to $(stat -c %U "$stranger"), not to you ($me), as an earlier run with sudo leaves it; give the build folder back with: sudo chown -R $me: \"$ROOT/build\""
    fi
    { mkdir -p "$ROOT/build" 2>/dev/null && [[ -w $ROOT/build ]]; } ||
        die "cannot write the build folder $ROOT/build (a read-only checkout, or a folder of another user's): run from a copy of the clone that you can write to"
}

# configure PRESET [CMAKE_ARGS...] and build: CMake only rebuilds what changed.
configure_and_build() {
    local preset=$1 lock
    shift
    own_build_folder
    # Two runs in one checkout (two terminals, two CI jobs in one workspace)
    # take turns here rather than configure the same folder at once; the
    # lock goes with the descriptor, when this returns or the shell exits.
    exec {lock}>>"$ROOT/build/.lock"
    if ! flock --nonblock "$lock"; then
        say "Waiting for another build in this checkout to finish"
        flock "$lock"
    fi
    find_sfml "$preset"
    say "Configuring ($preset)"
    cmake --preset "$preset" "${SFML_CMAKE_ARGS[@]}" "$@" >/dev/null ||
        die "CMake could not configure the $preset build"
    say "Building ($preset)"
    # The build's progress goes with the other progress lines, to stderr.
    cmake --build --preset "$preset" -j "$(cores)" >&2 ||
        die "the $preset build failed"
    exec {lock}>&-
}

cores() { nproc 2>/dev/null || echo 2; }

# report_skipped BUILD_DIR: after a CTest run there, name each test case that
# did not run and why, as pytest's summary wrote it in CTest's log.
report_skipped() {
    local log="$1/Testing/Temporary/LastTest.log" skipped
    skipped=$(grep -h '^SKIPPED \[[0-9]*\] ' "$log" 2>/dev/null |
        sed 's/^SKIPPED \[[0-9]*\] /  /' | sort -u) || true
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
