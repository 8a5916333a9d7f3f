"""The texts the display stacks' rows configure their servers and clients
with: each row writes FILES into a folder of its own ({tmp}, {port} filled)."""

from sfmlcheck.session import SCREEN

FILES = {
    "xorg.conf": """\
Section "Device"
    Identifier "dummy"
    Driver "dummy"
    VideoRam 65536
EndSection
Section "Screen"
    Identifier "screen"
    Device "dummy"
    DefaultDepth 24
    SubSection "Display"
        Depth 24
        Modes "1280x1024"
    EndSubSection
EndSection
""",
    # No bar block, so i3 starts no bar.
    "i3.conf": "# i3 config file (v4)\nfont pango:monospace 8\n",
    # xrdp serving the row's Xorg through xorgxrdp's socket, without a session
    # manager: TLS with the row's own certificate; channels allowed, as with none xrdp
    # cannot read the channel joins FreeRDP sends.
    "xrdp.ini": """\
[Globals]
ini_version=1
fork=false
port=tcp://127.0.0.1:{port}
security_layer=tls
certificate={tmp}/cert.pem
key_file={tmp}/key.pem
autorun=session
allow_channels=true
max_bpp=32
[Logging]
LogFile={tmp}/xrdp.log
EnableSyslog=false
[session]
name=session
lib=libxup.so
username=na
password=na
ip=127.0.0.1
port={tmp}/xrdp_display_{{number}}
code=20
""",
    "sshd_config": """\
ListenAddress 127.0.0.1
Port {port}
HostKey {tmp}/host_key
AuthorizedKeysFile {tmp}/client_key.pub
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
PidFile none
X11Forwarding yes
X11UseLocalhost yes
AcceptEnv LD_PRELOAD FRAME_COUNTER_FILE ASAN_OPTIONS UBSAN_OPTIONS
SetEnv XAUTHORITY={tmp}/xauthority
""",
}


# xpra's server and client, with nothing but windows: no sound, tray,
# clipboard, printing, notifications or session bus of their own. The client
# copies pixels losslessly and unscaled, under the window's own title. They
# read no system configuration: Debian 12's starts "/etc/X11/Xsession true"
# with the server, which cannot find "true", shows a message box, and once
# that display is gone falls back to the default session, whose window
# manager then takes whatever display has come to have the same number.
XPRA_SERVER = ("xpra", "start", "--daemon=no", "--dbus-launch=", "--dbus-proxy=no",
               "--dbus-control=no", "--systemd-run=no", "--pulseaudio=no", "--html=off",
               "--resize-display=no", "--xvfb=Xvfb +extension GLX +extension Composite "
               f"-screen 0 {SCREEN}x24+32 -nolisten tcp -noreset")
XPRA_CLIENT = ("xpra", "attach", "--title=@title@", "--opengl=no", "--encoding=rgb",
               "--border=no", "--desktop-scaling=off")
XPRA_QUIET = ("--mdns=no", "--notifications=no", "--clipboard=no", "--printing=no",
              "--file-transfer=no", "--webcam=no", "--speaker=disabled",
              "--microphone=disabled", "--tray=no", "--system-tray=no", "--bell=no")

# The Wayland socket weston makes in the row's runtime folder.
WAYLAND_SOCKET = "wayland-sfml-works"
# The socket-file route's set-up, in its own mount namespace, given what the
# socket file is ($1), the display's number ($2) and the command: WSLg's
# folder of sockets on /mnt, and /tmp/.X11-unix the row's own.
SOCKET_SETUP = r"""set -e
if [ "$1" != dangling ]; then
    mount -t tmpfs -o mode=755 sfml-works /mnt
    mkdir -p /mnt/wslg/.X11-unix
    mount --bind /tmp/.X11-unix /mnt/wslg/.X11-unix
fi
mount -t tmpfs -o mode=1777 sfml-works /tmp/.X11-unix
case $1 in
    wslg-link) ln -s "/mnt/wslg/.X11-unix/X$2" "/tmp/.X11-unix/X$2" ;;
    dangling) ln -s "/gone/X$2" "/tmp/.X11-unix/X$2" ;;
esac
shift 2
exec "$@"
"""
