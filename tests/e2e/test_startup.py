"""Start-up of the real client against the stand-in service: login, session lookup, viewport,
exit codes and the first log lines."""

import http.client
import http.server
import json
import os
import re
import signal
import subprocess
import threading

import harness
import stream_checks as checks

USER_AGENT = re.compile(r"^quorvanta-client/\d+\.\d+\.\d+$")


class MovedApiFront:
    """A service that moved its API: every path is answered with a 301 to the same path under
    /v2, and what arrives under /v2 is passed on to the stand-in. Records the method, path and
    User-Agent of each request."""

    def __init__(self, service_port):
        self.seen = []
        front = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def forward(self):
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length) if length else None
                front.seen.append((self.command, self.path, self.headers.get("User-Agent")))
                if not self.path.startswith("/v2/"):
                    self.send_response(301)
                    self.send_header("Location", "/v2" + self.path)
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                service = http.client.HTTPConnection("127.0.0.1", service_port, timeout=20)
                headers = {name: self.headers[name] for name in ("Authorization", "Content-Type")
                           if self.headers[name] is not None}
                service.request(self.command, self.path[len("/v2"):], body=body, headers=headers)
                reply = service.getresponse()
                data = reply.read()
                service.close()
                self.send_response(reply.status)
                self.send_header("Content-Type", reply.getheader("Content-Type", "text/plain"))
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            do_GET = do_POST = forward

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.base_url = f"http://127.0.0.1:{self.server.server_address[1]}"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class StartupTest(harness.EndToEndTest):

    def test_wrong_password_exits_2_with_the_login_error_in_console_and_log(self):
        service = self.start_service()
        client = self.start_client([service.base_url], credentials=(harness.DEMO_EMAIL, "wrong"),
                                   env={"SDL_VIDEODRIVER": "dummy"})
        self.assertEqual(client.wait_exit(), 2)
        self.assertEqual(client.stderr(), f"Login failed: HTTP 401\nLog file: {client.log_path}\n")
        self.assertIn("Login failed: HTTP 401", client.log_lines())
        self.assertEqual(client.stdout(), "Email: Password: ")
        # nothing after the refused login reaches the service
        self.assertEqual([r["path"] for r in service.requests()], ["/auth/login"])

    def test_command_line_and_console_refusals_end_before_any_request(self):
        service = self.start_service()
        dummy = {"SDL_VIDEODRIVER": "dummy"}
        demo = (harness.DEMO_EMAIL, harness.DEMO_PASSWORD)
        usage = self.start_client(["--help"], env=dummy)
        self.assertEqual(usage.wait_exit(), 0)
        self.assertIn("BASE_URL", usage.stdout())
        version = self.start_client(["--version"], env=dummy)
        self.assertEqual(version.wait_exit(), 0)
        self.assertRegex(version.stdout(), r"^quorvanta-client \d+\.\d+\.\d+\n$")
        no_display = {"DISPLAY": "", "WAYLAND_DISPLAY": "", "SDL_VIDEODRIVER": ""}
        for name, args, env, credentials, message in [
                ("unknown option", [service.base_url, "--fullscreen"], dummy, demo,
                 "unknown option --fullscreen"),
                ("input ended", [service.base_url], dummy, None, "No e-mail entered"),
                ("no display", [service.base_url], no_display, demo, "No display")]:
            client = self.start_client(args, env=env, credentials=credentials)
            self.assertEqual(client.wait_exit(), 1, name)
            self.assertIn(message, client.stderr(), name)
            self.assertNotIn("Password: ", client.stdout(), name)
        self.assertEqual(service.requests(), [], "nothing reached the service")

    def test_no_active_session_ends_with_start_up_error_in_console_and_log(self):
        scenario = {"rules": [{"method": "GET", "path": "/game-sessions/active", "status": 200,
                               "body": "{\"data\":[]}"}]}
        service = self.start_service(scenario=scenario)
        client = self.start_client([service.base_url], env={"SDL_VIDEODRIVER": "dummy"})
        self.assertEqual(client.wait_exit(), 1)
        error = "Quorvanta Client error: No active Quorvanta session"
        self.assertEqual(client.stderr(), f"{error}\nLog file: {client.log_path}\n")
        self.assertEqual(client.log_lines()[-1], error)

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

    def test_session_id_argument_skips_the_lookup_and_reports_the_display(self):
        xvfb = self.start_xvfb(1366, 768)
        service = self.start_service()
        client = self.start_client([service.base_url, "demo-session"], env=xvfb.env())
        client.wait_log(lambda lines: any(l.startswith("codec=") for l in lines),
                        what="the codec line")
        lines = client.log_lines()
        self.assertEqual(lines[0], "client_started")
        self.assertEqual(lines[1], "display=1366x768")
        self.assertEqual(service.requests("/game-sessions/active"), [])

        viewport = service.requests("/game-sessions/demo-session/webrtc/viewport")
        self.assertEqual(len(viewport), 1)
        self.assertEqual(json.loads(viewport[0]["body"]),
                         {"autoBitrate": True, "bitrate": 12000000, "codec": "h264",
                          "height": 768, "width": 1366})
        self.assertTrue(viewport[0]["authorization"].startswith("Bearer "))
        self.assertGreater(len(viewport[0]["authorization"]), len("Bearer "))

        # Ctrl+C asks for the same orderly close as the window's close button
        client.proc.send_signal(signal.SIGINT)
        self.assertEqual(client.wait_exit(), 0)

    def test_saved_fixed_bitrate_and_odd_display_shape_the_viewport(self):
        xvfb = self.start_xvfb(1919, 1200)
        service = self.start_service()
        client = self.start_client([service.base_url], env=xvfb.env(),
                                   settings={"client-bitrate.txt": "35",
                                             "client-codec.txt": "hevc\r\n"})
        client.wait_log(lambda lines: "display=1918x1200" in lines, what="the display line")
        self.assertEqual(len(service.requests("/game-sessions/active")), 1)
        viewport = wait_for_viewport(service)
        self.assertEqual(json.loads(viewport["body"]),
                         {"autoBitrate": False, "bitrate": 35000000, "codec": "hevc",
                          "height": 1200, "width": 1918})
        client.proc.send_signal(signal.SIGTERM)
        self.assertEqual(client.wait_exit(), 0)

    def test_statistics_title_is_logged_every_two_seconds(self):
        xvfb = self.start_xvfb()
        service = self.start_service()
        client = self.start_client([service.base_url], env=xvfb.env())
        client.wait_log(lambda lines: sum(l.startswith("Quorvanta | received=") for l in lines) >= 2,
                        timeout=20, what="two statistics lines")
        title = [l for l in client.log_lines() if l.startswith("Quorvanta | received=")][0]
        self.assertRegex(title, r"^Quorvanta \| received=\d+ decoded=\d+ audio=\d+ audio_errors=\d+$")
        client.proc.send_signal(signal.SIGTERM)
        self.assertEqual(client.wait_exit(), 0)

    def test_api_moved_behind_a_301_is_followed_with_the_login_kept_a_post(self):
        service = self.start_service()
        front = MovedApiFront(service.port)
        self.stack.callback(front.close)
        xvfb = self.start_xvfb(640, 360)
        client = self.start_client([front.base_url], env=xvfb.env())
        client.wait_log(lambda lines: "peer_state=2" in lines, timeout=30, what="peer_state=2")
        checks.wait_counters_beyond(client, {"decoded": 0}, timeout=30, what="pictures")

        logins = service.requests("/auth/login")  # the record masks the password
        self.assertEqual([(r["method"], json.loads(r["body"])) for r in logins],
                         [("POST", {"email": harness.DEMO_EMAIL, "password": "***"})])
        self.assertEqual([(method, path) for method, path, _ in front.seen[:2]],
                         [("POST", "/auth/login"), ("POST", "/v2/auth/login")])
        # The same host: the token follows the redirect, and every request says who sends it.
        self.assertTrue(all(r["authorization"] for r in service.requests("/game-sessions/")))
        self.assertTrue(all(USER_AGENT.match(agent or "") for _, _, agent in front.seen),
                        {agent for _, _, agent in front.seen})
        client.proc.send_signal(signal.SIGTERM)
        self.assertEqual(client.wait_exit(), 0)


def wait_for_viewport(service):
    return harness.wait_until(
        lambda: next(iter(service.requests("/game-sessions/demo-session/webrtc/viewport")), None),
        what="the viewport report")


if __name__ == "__main__":
    harness.main()
