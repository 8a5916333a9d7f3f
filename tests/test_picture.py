"""The picture, pixel for pixel, against geometry; whatever the command line
and environment say."""

import unittest

import oracle
from xsession import SIZE, TITLE, XSession

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


if __name__ == "__main__":
    unittest.main()
