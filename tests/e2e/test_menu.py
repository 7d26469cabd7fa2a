"""The settings menu, its notices, the network test and the bitrate loop, driven end to end:
the real client under Xvfb, clicked and typed at with xdotool, against the stand-in service."""

import json
import os
import re
import signal

import desktop
import harness
from stream_checks import decoded_counts, telemetry_lines

SESSION_PATH = "/game-sessions/demo-session/webrtc/"
# The menu hangs from this point, inset from the window's top-right corner; rows are 24 pixels
# high below a 3-pixel margin.
MENU_INSET = 14
ROW_HEIGHT = 24
MENU_PADDING = 3


class MenuTest(harness.EndToEndTest):

    def start_desktop(self):
        xvfb = self.start_xvfb(1366, 768)
        return xvfb, desktop.Desktop(xvfb.display)

    def wait_streaming(self, client, minimum=1, timeout=30):
        """Waits until the statistics line shows at least `minimum` more decoded frames than
        the last one logged so far, and returns that count."""
        before = max(decoded_counts(client.log_lines()), default=0)
        client.wait_log(lambda lines: max(decoded_counts(lines), default=0) >= before + minimum,
                        timeout=timeout, what=f"{minimum} more decoded frames")
        return max(decoded_counts(client.log_lines()))

    def open_menu(self, screen, window):
        screen.open_menu(window)

    def start_streaming(self, scenario=None):
        """The client streaming from a fresh service on a fresh desktop."""
        xvfb, screen = self.start_desktop()
        service = self.start_service(scenario=scenario)
        client = self.start_client([service.base_url], env=xvfb.env())
        self.wait_streaming(client)
        return screen, service, client, screen.client_window()

    def start_network_test(self, screen, window):
        # "Тест сети" is the second row from the bottom: Up wraps round to the last row first.
        self.open_menu(screen, window)
        screen.keys("Up", "Up", "Return")

    def test_choosing_hevc_saves_it_and_the_next_start_streams_hevc(self):
        xvfb, screen = self.start_desktop()
        service = self.start_service()
        client = self.start_client([service.base_url], env=xvfb.env())
        self.wait_streaming(client)
        self.assertTrue(any(l.startswith("codec=h264 ") for l in client.log_lines()))
        window = screen.client_window()

        # Press on "HEVC / H.265", the second row under the point the menu hangs from.
        self.open_menu(screen, window)
        row_centre = MENU_INSET + MENU_PADDING + ROW_HEIGHT + ROW_HEIGHT // 2
        screen.click(window, window.width - MENU_INSET - 40, row_centre)

        notice = screen.wait_message_box("Quorvanta")
        with open(os.path.join(client.settings_dir, "client-codec.txt"), "rb") as f:
            self.assertEqual(f.read(), b"hevc")
        self.assertEqual(screen.message_boxes("Quorvanta"), [notice])
        screen.dismiss(notice)
        # the running session keeps its codec: the stream goes on after the box
        self.wait_streaming(client)
        self.assertNotIn("Настройка сохранена", client.stderr())  # shown, not printed

        client.proc.send_signal(signal.SIGTERM)
        self.assertEqual(client.wait_exit(), 0)
        viewports = service.requests(SESSION_PATH + "viewport")
        self.assertEqual([json.loads(v["body"])["codec"] for v in viewports], ["h264"])

        # Same settings folder, new run.
        again = harness.Client(os.path.dirname(client.appdata), [service.base_url],
                               env=xvfb.env())
        self.stack.callback(again.close)
        harness.wait_until(lambda: len(service.requests(SESSION_PATH + "viewport")) == 2,
                           what="the second viewport report")
        second = json.loads(service.requests(SESSION_PATH + "viewport")[1]["body"])
        self.assertEqual(second["codec"], "hevc")
        again.wait_log(lambda lines: any(l.startswith("codec=hevc ") for l in lines),
                       what="the HEVC decoder line")
        first = self.wait_streaming(again)
        self.assertGreater(self.wait_streaming(again, minimum=10), first)
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
        paths = [r["path"] for r in service.requests("/diagnostics/")]
        expected = (["/diagnostics/ping"] * 5 + ["/diagnostics/chunk?size=262144"] * 8 +
                    ["/diagnostics/upload"] * 16 + ["/diagnostics/status"])
        self.assertEqual(paths, expected)
        upload = json.loads(service.requests("/diagnostics/upload")[0]["body"])
        self.assertEqual(upload, {"payload": "x" * 61440})
        self.assertTrue(all(r["authorization"] and r["authorization"].startswith("Bearer ")
                            for r in service.requests("/diagnostics/")))
        screen.dismiss(box)
        self.wait_streaming(client, minimum=10)

        self.start_network_test(screen, window)
        box = screen.wait_message_box("Ошибка диагностики", timeout=30)
        self.assertEqual(screen.message_boxes("Диагностика Quorvanta"), [])
        self.assertEqual([r["path"] for r in service.requests("/diagnostics/")], expected * 2)
        # The box holds the main loop until it is dismissed: two telemetry cycles pass on
        # their own thread without a statistics line from the loop.
        lines = client.log_lines()
        statistics_before = len(decoded_counts(lines))
        cycles_before = len(telemetry_lines(lines))
        client.wait_log(lambda lines: len(telemetry_lines(lines)) >= cycles_before + 2,
                        timeout=20, what="two telemetry cycles")
        self.assertEqual(len(decoded_counts(client.log_lines())), statistics_before)
        self.assertEqual(screen.message_boxes("Ошибка диагностики"), [box])

        decoded_before = max(decoded_counts(client.log_lines()))
        screen.dismiss(box)
        self.assertGreater(self.wait_streaming(client, minimum=10), decoded_before)
        client.proc.send_signal(signal.SIGTERM)
        self.assertEqual(client.wait_exit(), 0)

    def test_dismissing_the_menu_saves_nothing_and_shows_no_box(self):
        screen, service, client, window = self.start_streaming()

        # Into "Битрейт", down to "8 Мбит/с", then Escape twice: submenu, then the menu.
        self.open_menu(screen, window)
        screen.keys("Down", "Down", "Down", "Right", "Down", "Down", "Escape", "Escape")
        # The loop runs again only once the menu has closed.
        self.wait_streaming(client, minimum=10)
        self.assertEqual(screen.message_boxes(), [])
        self.assertFalse(os.path.exists(os.path.join(client.settings_dir, "client-bitrate.txt")))

        # The same path with Return saves 8.
        self.open_menu(screen, window)
        screen.keys("Down", "Down", "Down", "Right", "Down", "Down", "Return")
        screen.dismiss(screen.wait_message_box("Quorvanta"))
        with open(os.path.join(client.settings_dir, "client-bitrate.txt"), "rb") as f:
            self.assertEqual(f.read(), b"8")
        client.proc.send_signal(signal.SIGTERM)
        self.assertEqual(client.wait_exit(), 0)


class TelemetryTest(harness.EndToEndTest):

    def test_the_service_answers_set_the_target_and_the_encoder_follows(self):
        xvfb = self.start_xvfb(1366, 768)
        service = self.start_service()
        client = self.start_client([service.base_url], env=xvfb.env())
        client.wait_log(lambda lines: len(telemetry_lines(lines)) >= 3, timeout=30,
                        what="three telemetry lines")
        reports = [json.loads(r["body"]) for r in service.requests(SESSION_PATH + "telemetry")]
        targets = [int(m.group(1)) for m in telemetry_lines(client.log_lines())]
        # The service follows the proposal, so each cycle adopts what it proposed; quick
        # loopback reports propose 25 % more than the target each time, from 8 Mbit/s.
        self.assertEqual(reports[0]["availableBitrate"], 10_000_000)
        for report, target in zip(reports, targets):
            self.assertEqual(target, report["availableBitrate"] // 1000)
        self.assertEqual(set(reports[0]), {"availableBitrate", "packetLoss", "rttMs",
                                           "droppedFrames", "viewportWidth", "viewportHeight"})
        # The stand-in's encoder took each answer.
        harness.wait_until(lambda: len(encoder_rates(service)) >= 3, what="encoder changes")
        self.assertEqual(encoder_rates(service)[:3], targets[:3])
        client.proc.send_signal(signal.SIGTERM)
        self.assertEqual(client.wait_exit(), 0)

    def test_fixed_bitrate_posts_nothing(self):
        xvfb = self.start_xvfb(1366, 768)
        service = self.start_service()
        client = self.start_client([service.base_url], env=xvfb.env(),
                                   settings={"client-bitrate.txt": "20"})
        client.wait_log(lambda lines: len(telemetry_lines(lines)) >= 3, timeout=30,
                        what="three telemetry lines")
        self.assertEqual({(m.group(1), m.group(3)) for m in telemetry_lines(client.log_lines())},
                         {("20000", "0")})
        self.assertEqual(service.requests(SESSION_PATH + "telemetry"), [])
        viewport = json.loads(service.requests(SESSION_PATH + "viewport")[0]["body"])
        self.assertEqual((viewport["autoBitrate"], viewport["bitrate"]), (False, 20_000_000))
        client.proc.send_signal(signal.SIGTERM)
        self.assertEqual(client.wait_exit(), 0)


def encoder_rates(service):
    with open(service.log_path) as f:
        return [int(m.group(1)) for m in re.finditer(r"^encoder_bitrate=(\d+)kbps$", f.read(),
                                                      re.M)]


if __name__ == "__main__":
    harness.main()
