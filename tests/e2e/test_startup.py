"""Start-up of the real client: login, session lookup, viewport, exit codes and first lines."""

import json
import os
import signal
import subprocess

import harness


class StartupTest(harness.EndToEndTest):

    def test_refusals_end_with_their_exit_code_message_and_log_line(self):
        service = self.start_service(scenario={"rules": [
            {"method": "GET", "path": "/game-sessions/active", "status": 200,
             "body": "{\"data\":[]}"}]})
        dummy = {"SDL_VIDEODRIVER": "dummy"}
        no_display = {"DISPLAY": "", "WAYLAND_DISPLAY": "", "SDL_VIDEODRIVER": ""}
        demo = (harness.DEMO_EMAIL, harness.DEMO_PASSWORD)
        for name, args, env, credentials, code, message, requests in [
                ("help", ["--help"], dummy, demo, 0, None, []),
                ("unknown option", [service.base_url, "--fullscreen"], dummy, demo, 1,
                 "unknown option --fullscreen", []),
                ("input ended", [service.base_url], dummy, None, 1, "No e-mail entered", []),
                ("no display", [service.base_url], no_display, demo, 1, "No display", []),
                ("wrong password", [service.base_url], dummy, (harness.DEMO_EMAIL, "wrong"), 2,
                 "Login failed: HTTP 401", ["/auth/login"]),
                ("no active session", [service.base_url], dummy, demo, 1,
                 "Quorvanta Client error: No active Quorvanta session",
                 ["/auth/login", "/game-sessions/active"])]:
            with self.subTest(name):
                before = len(service.requests())
                client = self.start_client(args, env=env, credentials=credentials)
                self.assertEqual(client.wait_exit(), code)
                self.assertEqual([r["path"] for r in service.requests()[before:]], requests)
                if message is None:
                    self.assertIn("BASE_URL", client.stdout())
                    continue
                self.assertIn(message, client.stderr())
                if requests:  # past the console: the message is the whole output, and logged
                    self.assertEqual(client.stderr(),
                                     f"{message}\nLog file: {client.log_path}\n")
                    self.assertIn(message, client.log_lines())
        version = self.start_client(["--version"], env=dummy)
        self.assertEqual(version.wait_exit(), 0)
        self.assertRegex(version.stdout(), r"^quorvanta-client \d+\.\d+\.\d+\n$")

    def test_standard_output_closed_by_its_reader_does_not_kill_the_client(self):
        service = self.start_service()
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            proc = subprocess.run([harness.CLIENT, service.base_url],
                                  input=f"{harness.DEMO_EMAIL}\nwrong\n".encode(),
                                  stdout=write_end, stderr=subprocess.DEVNULL, timeout=30,
                                  env={**os.environ, "SDL_VIDEODRIVER": "dummy",
                                       "LOCALAPPDATA": self.workdir})
        finally:
            os.close(write_end)
        # The prompts cannot be written, but the login still runs and is refused.
        self.assertEqual(proc.returncode, 2)

    def test_display_session_argument_and_saved_settings_shape_viewport_and_telemetry(self):
        for screen, args, settings, display, lookups, viewport in [
                ((1366, 768), ["demo-session"], {}, "display=1366x768", 0,
                 {"autoBitrate": True, "bitrate": 12000000, "codec": "h264", "height": 768,
                  "width": 1366}),
                # An odd width is made even; a saved fixed bitrate and codec are used.
                ((1919, 1200), [], {"client-bitrate.txt": "35", "client-codec.txt": "hevc\r\n"},
                 "display=1918x1200", 1,
                 {"autoBitrate": False, "bitrate": 35000000, "codec": "hevc", "height": 1200,
                  "width": 1918})]:
            with self.subTest(display):
                _, service, client = self.start_session(size=screen, args=args,
                                                        settings=settings)
                posted = harness.wait_until(
                    lambda: service.requests("/game-sessions/demo-session/webrtc/viewport"),
                    what="the viewport report")
                client.wait_log(lambda lines: lines[:2] == ["client_started", display],
                                what=display)
                self.assertEqual(len(service.requests("/game-sessions/active")), lookups)
                self.assertEqual(json.loads(posted[0]["body"]), viewport)
                self.assertRegex(posted[0]["authorization"], r"^Bearer .{16,}")
                # A fixed bitrate is the target of every telemetry cycle, and none is posted.
                targets = client.wait_log(lambda l: [x for x in l if x.startswith("target=")],
                                          timeout=30, what="a telemetry cycle")
                reports = service.requests("/game-sessions/demo-session/webrtc/telemetry")
                self.assertEqual(bool(reports), viewport["autoBitrate"])
                if not viewport["autoBitrate"]:
                    self.assertTrue(all(t.startswith("target=35000kbps ") for t in targets))
                # Ctrl+C asks for the same orderly close as the window's close button.
                client.proc.send_signal(signal.SIGINT)
                self.assertEqual(client.wait_exit(), 0)


if __name__ == "__main__":
    harness.main()
