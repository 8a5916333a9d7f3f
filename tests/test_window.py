"""The window as the window manager sees it."""

import re
import unittest

from suite import SIZE, TITLE, XSession

# Motif window-manager hints: which fields are set, and the bits asked for.
MWM_HINTS_FUNCTIONS = 1
MWM_HINTS_DECORATIONS = 2
MWM_FUNC_ALL = 1
MWM_FUNC_RESIZE = 2
MWM_FUNC_CLOSE = 32
MWM_DECOR_ALL = 1
MWM_DECOR_BORDER = 2
MWM_DECOR_RESIZEH = 4
MWM_DECOR_TITLE = 8


class WindowTest(unittest.TestCase):
    def test_window_properties(self):
        with XSession() as x:
            program = x.start_program()
            window = program.wait_window()

            self.assertEqual(x.client_windows(), [window], "exactly one top-level window")
            self.assertEqual(x.size(window), (SIZE, SIZE), "client area")

            props = x.xprop(window, "WM_NAME", "_NET_WM_NAME", "WM_PROTOCOLS",
                            "WM_NORMAL_HINTS", "_MOTIF_WM_HINTS")
            self.assertIn(f'WM_NAME(STRING) = "{TITLE}"', props)
            self.assertIn(f'_NET_WM_NAME(UTF8_STRING) = "{TITLE}"', props)
            protocols = re.search(r"WM_PROTOCOLS\(ATOM\): protocols\s+(.*)", props)
            self.assertIsNotNone(protocols, props)
            self.assertIn("WM_DELETE_WINDOW", protocols.group(1).split(", "))

            # Resizable: the size hints, if any, do not pin the size.
            minimum = re.search(r"minimum size: (\d+) by (\d+)", props)
            maximum = re.search(r"maximum size: (\d+) by (\d+)", props)
            if minimum and maximum:
                self.assertNotEqual(minimum.groups(), maximum.groups(), props)

            # Decorations and functions asked of the window manager.
            hints = re.search(r"_MOTIF_WM_HINTS\(_MOTIF_WM_HINTS\) = (.*)", props)
            self.assertIsNotNone(hints, props)
            flags, functions, decorations = (int(v, 0) for v in
                                             hints.group(1).split(", ")[:3])
            self.assertTrue(flags & MWM_HINTS_FUNCTIONS and flags & MWM_HINTS_DECORATIONS)
            if functions & MWM_FUNC_ALL:  # the bits then name what is left out
                functions = ~functions
            if decorations & MWM_DECOR_ALL:
                decorations = ~decorations
            for bit, name in ((MWM_FUNC_RESIZE, "resize"), (MWM_FUNC_CLOSE, "close")):
                self.assertTrue(functions & bit, f"function {name} in {hints.group(1)}")
            for bit, name in ((MWM_DECOR_TITLE, "title bar"), (MWM_DECOR_BORDER, "border"),
                              (MWM_DECOR_RESIZEH, "resize handles")):
                self.assertTrue(decorations & bit, f"decoration {name} in {hints.group(1)}")

            # And the window manager took them so: it offers close and resize,
            # and draws a title bar above the client area.
            allowed = x.xprop(window, "_NET_WM_ALLOWED_ACTIONS")
            self.assertIn("_NET_WM_ACTION_CLOSE", allowed)
            self.assertIn("_NET_WM_ACTION_RESIZE", allowed)
            extents = re.search(r"= (\d+), (\d+), (\d+), (\d+)",
                                x.xprop(window, "_NET_FRAME_EXTENTS"))
            self.assertIsNotNone(extents)
            self.assertGreater(int(extents.group(3)), 0, "title bar height")

            program.close()

