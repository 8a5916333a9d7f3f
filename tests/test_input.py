"""Input of every kind is polled and dropped; resizing only stretches the scene."""

import unittest

from sfmlcheck import oracle
from suite import SIZE, XSession

INPUT_EVENTS = 2000


class InputTest(unittest.TestCase):
    def test_keys_pointer_text_and_focus_are_ignored(self):
        with XSession() as x:
            program = x.start_program()
            window = program.wait_window()
            before = program.frames()
            x.xpoke("input", window, INPUT_EVENTS)
            # Still running, and still drawing once all of it was delivered.
            program.wait_frames(program.frames() + 3)
            self.assertGreater(program.frames(), before + 3)
            wrong = oracle.mismatches(x.capture(window))
            self.assertEqual(wrong, [], oracle.describe(wrong))
            program.close()

    def test_resize_stretches_the_scene_and_back_restores_it(self):
        with XSession() as x:
            program = x.start_program()
            window = program.wait_window()
            for width, height in ((320, 240), (150, 260), (SIZE, SIZE)):
                with self.subTest(size=(width, height)):
                    x.resize(window, width, height)
                    # A few frames after the new size took, so that the
                    # program has seen it and drawn at it.
                    program.wait_frames(program.frames() + 3)
                    image = x.capture(window)
                    self.assertEqual((image.width, image.height), (width, height))
                    wrong = oracle.mismatches(image)
                    self.assertEqual(wrong, [], oracle.describe(wrong))
            program.close()

