"""A close request through the window manager ends the program, once."""

import unittest

from xsession import CLOSE_DEADLINE, XSession

BURST = 5


class CloseTest(unittest.TestCase):
    def test_close_request_ends_with_status_zero(self):
        with XSession() as x:
            program = x.start_program()
            window = program.wait_window()
            x.close_window(window)
            status, _ = program.wait_exit(CLOSE_DEADLINE)
            self.assertEqual(status, 0, program.stderr())
            self.assertEqual(program.stdout(), "")
            self.assertEqual(x.client_windows(), [])

    def test_burst_of_close_requests_ends_with_status_zero(self):
        with XSession() as x:
            program = x.start_program()
            window = program.wait_window()
            x.xpoke("close", window, BURST)
            status, _ = program.wait_exit(CLOSE_DEADLINE)
            self.assertEqual(status, 0, program.stderr())
            self.assertEqual(program.stdout(), "")


if __name__ == "__main__":
    unittest.main()
