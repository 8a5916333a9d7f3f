"""A close request through the window manager ends the program, once."""

import unittest

from suite import XSession, assert_burst_ends_program

BURST = 5


class CloseTest(unittest.TestCase):
    def test_close_request_ends_with_status_zero(self):
        with XSession() as x:
            program = x.start_program()
            program.wait_window()
            program.close()
            x.wait_no_windows()

    def test_burst_of_close_requests_ends_with_status_zero(self):
        assert_burst_ends_program(self, BURST)

