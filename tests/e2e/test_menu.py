"""The settings menu, its notices and the network test: the real client
under Xvfb, clicked and typed at with xdotool, against the stand-in service."""

import json
import os

import harness
import stream_checks as checks
from stream_checks import telemetry_lines, wait_decoding

# The menu hangs from a point this far in from the window's top-right corner; its rows are this
# high below a margin of that many pixels.
MENU_INSET, ROW_HEIGHT, MENU_PADDING = 14, 24, 3
# Into "Битрейт", down to "8 Мбит/с".
TO_8_MBITS = ("Down", "Down", "Down", "Right", "Down", "Down")


def saved(client, name):
    path = os.path.join(client.settings_dir, name)
    return open(path, "rb").read() if os.path.exists(path) else None


class MenuTest(harness.EndToEndTest):

    def start_streaming(self, scenario=None):
        screen, service, client = self.start_session(scenario=scenario, size=(1366, 768))
        wait_decoding(client, more=1)
        return screen, service, client, screen.client_window()

    def test_choices_are_saved_with_a_notice_for_the_next_start_and_dismissing_saves_none(self):
        screen, service, client, window = self.start_streaming()
        self.assertTrue(any(l.startswith("codec=h264 ") for l in client.log_lines()))

        # Escape twice leaves submenu and menu; the loop runs again only once both closed.
        screen.open_menu(window)
        screen.keys(*TO_8_MBITS, "Escape", "Escape")
        wait_decoding(client)
        self.assertEqual(screen.message_boxes(), [])
        self.assertIsNone(saved(client, "client-bitrate.txt"))
        # The same path with Return saves 8.
        screen.open_menu(window)
        screen.keys(*TO_8_MBITS, "Return")
        screen.dismiss(screen.wait_message_box("Quorvanta"))
        self.assertEqual(saved(client, "client-bitrate.txt"), b"8")

        # A click on "HEVC / H.265", the second row under the point the menu hangs from.
        screen.open_menu(window)
        row_centre = MENU_INSET + MENU_PADDING + ROW_HEIGHT + ROW_HEIGHT // 2
        screen.click(window, window.width - MENU_INSET - 40, row_centre)
        notice = screen.wait_message_box("Quorvanta")
        self.assertEqual(saved(client, "client-codec.txt"), b"hevc")
        # one box, this one (the window manager may still be placing it: compare ids)
        self.assertEqual([box.id for box in screen.message_boxes("Quorvanta")], [notice.id])
        screen.dismiss(notice)
        # the running session keeps its codec: the stream goes on after the box
        wait_decoding(client, more=1)
        self.assertNotIn("Настройка сохранена", client.stderr())  # shown, not printed
        self.assertEqual(client.stop(), 0)
        viewports = service.requests("/game-sessions/demo-session/webrtc/viewport")
        self.assertEqual([json.loads(v["body"])["codec"] for v in viewports], ["h264"])

    def test_network_test_shows_its_figures_then_its_error_and_the_stream_goes_on(self):
        # The first test goes through; the second one's status request fails.
        scenario = {"rules": [{"method": "GET", "path": "/diagnostics/status", "times": 1},
                              {"method": "GET", "path": "/diagnostics/status", "status": 500,
                               "body": {"error": "status unavailable"}}]}
        screen, service, client, window = self.start_streaming(scenario)
        for title, other in [("Диагностика Quorvanta", "Ошибка диагностики"),
                             ("Ошибка диагностики", "Диагностика Quorvanta")]:
            # "Тест сети" is the second row from the bottom: Up wraps round to the last first.
            screen.open_menu(window)
            screen.keys("Up", "Up", "Return")
            box = screen.wait_message_box(title, timeout=30)
            self.assertEqual(screen.message_boxes(other), [])
            # Each box holds the main loop until it is dismissed: two telemetry cycles pass
            # on their own thread without a statistics line from the loop.
            statistics_before = len(checks.statistics(client))
            cycles_before = len(telemetry_lines(client.log_lines()))
            client.wait_log(lambda lines: len(telemetry_lines(lines)) >= cycles_before + 2,
                            timeout=20, what="two telemetry cycles")
            self.assertEqual(len(checks.statistics(client)), statistics_before)
            self.assertEqual([b.id for b in screen.message_boxes(title)], [box.id])
            screen.dismiss(box)
            wait_decoding(client)
        self.assertEqual(client.stop(), 0)


if __name__ == "__main__":
    harness.main()
