"""The picture, pixel for pixel, against geometry; whatever the command line
and environment say."""

import unittest

from sfmlcheck import oracle
from suite import SIZE, TITLE, Image, XSession

# Arguments and variables a user might try; none of them may change anything.
VARIANTS = [
    ((), {}),
    (("--help", "-v", "--size", "400x400", "--title", "other", "picture.png"), {}),
    ((), {"LANG": "de_DE.UTF-8", "LC_ALL": "tr_TR.UTF-8", "SFML_WORKS_TITLE": "other",
          "SFML_WORKS_SIZE": "400x400", "COLUMNS": "10"}),
]


class PictureTest(unittest.TestCase):
    def test_picture_is_exact_whatever_the_arguments_and_environment(self):
        for args, extra_env in VARIANTS:
            with self.subTest(args=args, env=extra_env), XSession() as x:
                program = x.start_program(args, dict(x.env, **extra_env))
                window = program.wait_window()
                self.assertEqual(x.size(window), (SIZE, SIZE))
                self.assertIn(f'_NET_WM_NAME(UTF8_STRING) = "{TITLE}"',
                              x.xprop(window, "_NET_WM_NAME"))
                image = x.capture(window)
                self.assertEqual((image.width, image.height), (SIZE, SIZE))
                wrong = oracle.mismatches(image)
                self.assertEqual(wrong, [], oracle.describe(wrong))
                program.close()

    def test_comparison_tells_near_misses_apart(self):
        # The same capture against a 40-point polygon, and against radius 99,
        # must fail: the comparison is fine enough to see those mistakes.
        with XSession() as x:
            program = x.start_program()
            image = x.capture(program.wait_window())
            program.close()
        self.assertEqual(oracle.mismatches(image), [])
        self.assertGreater(len(oracle.mismatches(image, points=40)), 20)
        self.assertGreater(len(oracle.mismatches(image, radius=99.0)), 20)

    def test_a_window_sized_twice_is_judged_by_the_scene_it_shows(self):
        # A window manager that sizes the window again after the library set
        # up its view leaves that view's scene stretched over the new size.
        # Window size, then the scene: re-tiled a few pixels, shrunk below
        # the circle and then enlarged, stretched wider only.
        for size, scene in [((1274, 1000), (1270, 997)), ((1278, 1003), (640, 480)),
                            ((320, 240), (160, 120)), ((201, 200), (203, 198))]:
            with self.subTest(size=size, scene=scene):
                image = oracle.expected_image(*size, scene)
                self.assertEqual(oracle.judge(image)[:3], ("", 0, scene))
                # Three pixels to the right is no scene's picture.
                moved = Image(*size, (b"\0" * 9 + image.pixels)[:len(image.pixels)])
                self.assertRegex(oracle.judge(moved)[0], r"out of (shape|place)|wrong place")

