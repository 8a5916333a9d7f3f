"""A close request through the window manager ends the program, once."""

import unittest

from xsession import CLOSE_DEADLINE, XSession

BURST = 5


def assert_burst_ends_program(test, count):
    """Send count close requests at once: the program ends, in time, with
    status 0, having printed nothing, and its window is gone."""
    with XSession() as x:
        program = x.start_program()
        window = program.wait_window()
        x.xpoke("close", window, count)
        status, _ = program.wait_exit(CLOSE_DEADLINE)
        test.assertEqual(status, 0, program.stderr())
        test.assertEqual(program.stdout(), "")
        x.wait_no_windows()


class CloseTest(unittest.TestCase):
    def test_close_request_ends_with_status_zero(self):
        with XSession() as x:
            program = x.start_program()
            program.wait_window()
            program.close()
            x.wait_no_windows()

    def test_burst_of_close_requests_ends_with_status_zero(self):
        assert_burst_ends_program(self, BURST)


if __name__ == "__main__":
    unittest.main()
