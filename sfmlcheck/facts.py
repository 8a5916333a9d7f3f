"""What sfml-works is, draws and needs: the facts the checker judges it by."""

PROGRAM = "sfml-works"
# The release, as the build's project() gives it.
VERSION = "1.0.0"
TITLE = "SFML works!"
# The window's size, and the scene the library draws in: the same at first.
SIZE = 200
# The circle: a polygon of this many points on a circle of this radius.
POINTS = 30
RADIUS = 100.0
# The least screen depth the library can make its window on.
MIN_DEPTH = 24
# The first release of the library that can use a screen other than the first.
MULTI_SCREEN_RELEASE = (2, 6)
# The first release of the library that places a window no window manager
# places on the screen: before it, the screen's width stood for its height.
PLACEMENT_RELEASE = (2, 6)
# Tiling window managers draw no close button: the key that closes a window.
CLOSE_KEYS = {
    "dwm": "Alt+Shift+c",
    "herbstluftwm": "Alt+Shift+c",
    "awesome": "Super+Shift+c",
    "i3": "Mod+Shift+q",
    "bspwm": "its close binding (bspc node -c)",
}
