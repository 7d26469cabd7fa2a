"""The settings menu, its notices, the network test and the bitrate loop, driven end to end:
the real client under Xvfb, clicked and typed at with xdotool, against the stand-in service."""

import json
import os
import re
import signal

import desktop
import harness
import stream_checks as checks
from stream_checks import telemetry_lines, wait_decoding

SESSION_PATH = "/game-sessions/demo-session/webrtc/"
# The menu hangs from this point, inset from the window's top-right corner; rows are 24 pixels
# high below a 3-pixel margin.
MENU_INSET = 14
ROW_HEIGHT = 24
MENU_PADDING = 3


class MenuTest(harness.EndToEndTest):

    def start_streaming(self, scenario=None):
        """The client streaming from a fresh service on a fresh desktop."""
        xvfb, service, client = self.start_session(scenario=scenario, size=(1366, 768))
        screen = desktop.Desktop(xvfb.display)
        wait_decoding(client, more=1)
        return screen, service, client, screen.client_window()

    def start_network_test(self, screen, window):
        # "Тест сети" is the second row from the bottom: Up wraps round to the last row first.
        screen.open_menu(window)
        screen.keys("Up", "Up", "Return")

    def test_choosing_hevc_saves_it_and_the_next_start_streams_hevc(self):
        screen, service, client, window = self.start_streaming()
        self.assertTrue(any(l.startswith("codec=h264 ") for l in client.log_lines()))

        # Press on "HEVC / H.265", the second row under the point the menu hangs from.
        screen.open_menu(window)
        row_centre = MENU_INSET + MENU_PADDING + ROW_HEIGHT + ROW_HEIGHT // 2
        screen.click(window, window.width - MENU_INSET - 40, row_centre)

        notice = screen.wait_message_box("Quorvanta")
        with open(os.path.join(client.settings_dir, "client-codec.txt"), "rb") as f:
            self.assertEqual(f.read(), b"hevc")
        # one box, this one (the window manager may still be placing it: compare ids)
        self.assertEqual([box.id for box in screen.message_boxes("Quorvanta")], [notice.id])
        screen.dismiss(notice)
        # the running session keeps its codec: the stream goes on after the box
        wait_decoding(client, more=1)
        self.assertNotIn("Настройка сохранена", client.stderr())  # shown, not printed

        client.proc.send_signal(signal.SIGTERM)
        self.assertEqual(client.wait_exit(), 0)
        viewports = service.requests(SESSION_PATH + "viewport")
        self.assertEqual([json.loads(v["body"])["codec"] for v in viewports], ["h264"])

        # Same settings folder, new run.
        again = harness.Client(os.path.dirname(client.appdata), [service.base_url],
                               env={"DISPLAY": screen.display})
        self.stack.callback(again.close)
        harness.wait_until(lambda: len(service.requests(SESSION_PATH + "viewport")) == 2,
                           what="the second viewport report")
        second = json.loads(service.requests(SESSION_PATH + "viewport")[1]["body"])
        self.assertEqual(second["codec"], "hevc")
        again.wait_log(lambda lines: any(l.startswith("codec=hevc ") for l in lines),
                       what="the HEVC decoder line")
        wait_decoding(again)
        again.proc.send_signal(signal.SIGTERM)
        self.assertEqual(again.wait_exit(), 0)

    def test_network_test_shows_its_figures_then_its_error_and_the_stream_goes_on(self):
        # The first test goes through; the second one's status request fails.
        scenario = {"rules": [{"method": "GET", "path": "/diagnostics/status", "times": 1},
                              {"method": "GET", "path": "/diagnostics/status", "status": 500,
                               "body": {"error": "status unavailable"}}]}
        screen, service, client, window = self.start_streaming(scenario)
        self.start_network_test(screen, window)
        box = screen.wait_message_box("Диагностика Quorvanta", timeout=30)
        self.assertEqual(screen.message_boxes("Ошибка диагностики"), [])
        screen.dismiss(box)
        wait_decoding(client, more=10)

        self.start_network_test(screen, window)
        box = screen.wait_message_box("Ошибка диагностики", timeout=30)
        self.assertEqual(screen.message_boxes("Диагностика Quorvanta"), [])
        # The box holds the main loop until it is dismissed: two telemetry cycles pass on
        # their own thread without a statistics line from the loop.
        lines = client.log_lines()
        statistics_before = len(checks.statistics(client))
        cycles_before = len(telemetry_lines(lines))
        client.wait_log(lambda lines: len(telemetry_lines(lines)) >= cycles_before + 2,
                        timeout=20, what="two telemetry cycles")
        self.assertEqual(len(checks.statistics(client)), statistics_before)
        self.assertEqual([b.id for b in screen.message_boxes("Ошибка диагностики")], [box.id])

        screen.dismiss(box)
        wait_decoding(client)
        client.proc.send_signal(signal.SIGTERM)
        self.assertEqual(client.wait_exit(), 0)

    def test_dismissing_the_menu_saves_nothing_and_shows_no_box(self):
        screen, service, client, window = self.start_streaming()

        # Into "Битрейт", down to "8 Мбит/с", then Escape twice: submenu, then the menu.
        screen.open_menu(window)
        screen.keys("Down", "Down", "Down", "Right", "Down", "Down", "Escape", "Escape")
        # The loop runs again only once the menu has closed.
        wait_decoding(client, more=10)
        self.assertEqual(screen.message_boxes(), [])
        self.assertFalse(os.path.exists(os.path.join(client.settings_dir, "client-bitrate.txt")))

        # The same path with Return saves 8.
        screen.open_menu(window)
        screen.keys("Down", "Down", "Down", "Right", "Down", "Down", "Return")
        screen.dismiss(screen.wait_message_box("Quorvanta"))
        with open(os.path.join(client.settings_dir, "client-bitrate.txt"), "rb") as f:
            self.assertEqual(f.read(), b"8")
        client.proc.send_signal(signal.SIGTERM)
        self.assertEqual(client.wait_exit(), 0)


class TelemetryTest(harness.EndToEndTest):

    def test_automatic_bitrate_follows_the_service_and_a_fixed_one_posts_nothing(self):
        for saved in ("", "20"):
            with self.subTest(saved=saved):
                _, service, client = self.start_session(
                    size=(1366, 768), settings={"client-bitrate.txt": saved} if saved else None)
                client.wait_log(lambda lines: len(telemetry_lines(lines)) >= 3, timeout=30,
                                what="three telemetry lines")
                reports = [json.loads(r["body"])["availableBitrate"]
                           for r in service.requests(SESSION_PATH + "telemetry")]
                targets = [int(m.group(1)) for m in telemetry_lines(client.log_lines())]
                if saved:
                    self.assertEqual(reports, [])
                    self.assertEqual(set(targets), {20000})
                else:
                    # The service follows the proposal, so each cycle adopts what it proposed;
                    # quick loopback reports propose 25 % more each time, from 8 Mbit/s.
                    self.assertEqual(reports[0], 10_000_000)
                    self.assertEqual(targets[:3], [r // 1000 for r in reports[:3]])
                    # The stand-in's encoder took each answer.
                    harness.wait_until(lambda: len(encoder_rates(service)) >= 3,
                                       what="encoder changes")
                    self.assertEqual(encoder_rates(service)[:3], targets[:3])
                client.proc.send_signal(signal.SIGTERM)
                self.assertEqual(client.wait_exit(), 0)


def encoder_rates(service):
    with open(service.log_path) as f:
        return [int(m) for m in re.findall(r"^encoder_bitrate=(\d+)kbps$", f.read(), re.M)]


if __name__ == "__main__":
    harness.main()
