"""Start-up of the real client: login, session lookup, viewport, exit codes and first lines."""

import http.client
import http.server
import json
import re
import signal

import harness
import stream_checks as checks


class StartupTest(harness.EndToEndTest):

    def test_refusals_end_with_their_exit_code_message_and_log_line(self):
        service = self.start_service(scenario={"rules": [
            {"method": "GET", "path": "/game-sessions/active", "status": 200,
             "body": "{\"data\":[]}"}]})
        dummy = {"SDL_VIDEODRIVER": "dummy"}
        no_display = {"DISPLAY": "", "WAYLAND_DISPLAY": "", "SDL_VIDEODRIVER": ""}
        demo, wrong = (harness.DEMO_EMAIL, harness.DEMO_PASSWORD), (harness.DEMO_EMAIL, "wrong")
        # With exit code 0 the message is what standard output matches.
        for name, args, env, credentials, code, message, requests in [
                ("help", ["--help"], dummy, demo, 0, "BASE_URL", []),
                ("version", ["--version"], dummy, demo, 0, r"^quorvanta-client \d+\.\d+\.\d+\n$",
                 []),
                ("unknown option", [service.base_url, "--fullscreen"], dummy, demo, 1,
                 "unknown option --fullscreen", []),
                ("input ended", [service.base_url], dummy, None, 1, "No e-mail entered", []),
                ("no display", [service.base_url], no_display, demo, 1, "No display", []),
                ("wrong password", [service.base_url], dummy, wrong, 2, "Login failed: HTTP 401",
                 ["/auth/login"]),
                # The prompts cannot be written, but the login still runs and is refused.
                ("standard output closed by its reader", [service.base_url], dummy, wrong, 2,
                 "Login failed: HTTP 401", ["/auth/login"]),
                ("no active session", [service.base_url], dummy, demo, 1,
                 "Quorvanta Client error: No active Quorvanta session",
                 ["/auth/login", "/game-sessions/active"])]:
            with self.subTest(name):
                before = len(service.requests())
                client = self.start_client(args, env=env, credentials=credentials,
                                           closed_stdout=name.startswith("standard output"))
                self.assertEqual(client.wait_exit(), code)
                self.assertEqual([r["path"] for r in service.requests()[before:]], requests)
                if code == 0:
                    self.assertRegex(client.stdout(), message)
                    continue
                self.assertIn(message, client.stderr())
                if requests:  # past the console: the message is the whole output, and logged
                    self.assertEqual(client.stderr(),
                                     f"{message}\nLog file: {client.log_path}\n")
                    self.assertIn(message, client.log_lines())

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

    def test_api_moved_behind_a_301_is_followed_with_the_login_kept_a_post(self):
        service = self.start_service()
        seen = []  # method, path and User-Agent of every request to the front

        class MovedApi(http.server.BaseHTTPRequestHandler):
            """Moves every path under /v2 with a 301, and passes what arrives there on."""
            protocol_version = "HTTP/1.1"

            def forward(self):
                body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
                seen.append((self.command, self.path, self.headers.get("User-Agent")))
                status, kind, data = 301, "text/plain", b""
                if self.path.startswith("/v2/"):
                    upstream = http.client.HTTPConnection("127.0.0.1", service.port, timeout=20)
                    upstream.request(self.command, self.path[3:], body=body or None, headers={
                        k: v for k in ("Authorization", "Content-Type")
                        if (v := self.headers[k]) is not None})
                    reply = upstream.getresponse()
                    status, kind, data = reply.status, reply.getheader("Content-Type"), reply.read()
                    upstream.close()
                self.send_response(status)
                if status == 301:
                    self.send_header("Location", "/v2" + self.path)
                self.send_header("Content-Type", kind or "text/plain")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            do_GET = do_POST = forward

        _, _, client = self.start_session(url=self.serve(MovedApi))
        checks.wait_decoding(client, more=1)
        logins = service.requests("/auth/login")  # the record masks the password
        self.assertEqual([(r["method"], json.loads(r["body"])) for r in logins],
                         [("POST", {"email": harness.DEMO_EMAIL, "password": "***"})])
        self.assertEqual([(method, path) for method, path, _ in seen[:2]],
                         [("POST", "/auth/login"), ("POST", "/v2/auth/login")])
        # The same host: the token follows the redirect, and every request says who sends it.
        self.assertTrue(all(r["authorization"] for r in service.requests("/game-sessions/")))
        agents = {agent for _, _, agent in seen}
        self.assertTrue(all(re.fullmatch(r"quorvanta-client/\d+\.\d+\.\d+", a or "")
                            for a in agents), agents)
        self.assertEqual(client.stop(), 0)


if __name__ == "__main__":
    harness.main()
