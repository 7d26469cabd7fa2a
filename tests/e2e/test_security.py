"""What the client keeps to itself and whom it trusts: secrets stay out of its log, console and
terminal, and a server whose certificate does not verify gets no request at all."""

import contextlib
import os
import pty
import re
import select
import signal
import socket
import ssl
import subprocess
import termios
import threading
import unittest

import harness

PASSWORD = "Xq7-secret-Vb2"


def echo_on(fd):
    return bool(termios.tcgetattr(fd)[3] & termios.ECHO)


class TerminalClient:
    """The client with a pseudo-terminal as its console."""

    def __init__(self, base_url, env):
        self.master, slave = pty.openpty()
        self.proc = subprocess.Popen([harness.CLIENT, base_url], stdin=slave, stdout=slave,
                                     stderr=slave, env={**os.environ, **env},
                                     start_new_session=True)
        os.close(slave)
        self.output = b""

    def read(self, timeout):
        """Adds what the terminal says within timeout seconds; False at end of output."""
        if select.select([self.master], [], [], timeout)[0]:
            with contextlib.suppress(OSError):  # EIO: the other side is closed
                chunk = os.read(self.master, 4096)
                self.output += chunk
                return bool(chunk)
        return False

    def wait_output(self, text, timeout=15):
        def seen():
            self.read(0.05)
            return text in self.output
        harness.wait_until(seen, timeout=timeout, what=repr(text))

    def type(self, text):
        os.write(self.master, text.encode())

    def finish(self, timeout=20):
        code = self.proc.wait(timeout=timeout)
        while self.read(0.2):
            pass
        return code

    def close(self):
        harness.stop_process(self.proc)
        os.close(self.master)


class SecurityTest(harness.EndToEndTest):

    def test_token_and_password_stay_out_of_log_and_console_also_on_error_paths(self):
        # Failing polls and telemetry reports print and log their request's details: the
        # paths that would carry the token if any did.
        scenario = {"rules": [
            {"path": "/game-sessions/demo-session/webrtc/events", "prefix": True, "status": 500,
             "body": "poll refused", "times": 2},
            {"path": "/game-sessions/demo-session/webrtc/telemetry", "status": 503,
             "body": "busy", "times": 2},
        ]}
        _, service, client = self.start_session("--password", PASSWORD, scenario=scenario,
                                                credentials=(harness.DEMO_EMAIL, PASSWORD))
        client.wait_log("peer_state=2", timeout=30)
        client.wait_log(lambda lines: sum(l.startswith("telemetry_error=") for l in lines) >= 2
                        and sum(l.startswith("target=") for l in lines) >= 1,
                        timeout=30, what="failed and then successful telemetry")
        self.assertEqual(client.stop(), 0)

        tokens = {r["authorization"][len("Bearer "):] for r in service.requests()
                  if r.get("authorization")}
        self.assertEqual(len(tokens), 1, "one token, issued at login, used for every request")
        token = tokens.pop()
        self.assertGreaterEqual(len(token), 16)
        self.assertIn("Signaling: GET /game-sessions/demo-session/webrtc/events", client.stderr(),
                      "the failing polls were reported")

        record_text = harness.read(service.record_path)
        self.assertIn('\\"password\\":\\"***\\"', record_text, "the login, masked")
        self.assertNotIn(PASSWORD, record_text, "password in the service's record")
        for name, text in (("log", "\n".join(client.log_lines())), ("stdout", client.stdout()),
                           ("stderr", client.stderr())):
            self.assertNotIn(token, text, f"token in the {name}")
            self.assertNotIn(PASSWORD, text, f"password in the {name}")

    def start_terminal(self):
        """The client on a terminal at its password prompt, echo off; nothing listens on its
        port, so login fails at once after the prompts."""
        terminal = TerminalClient(f"http://127.0.0.1:{harness.free_port()}",
                                  {"LOCALAPPDATA": self.workdir, "SDL_VIDEODRIVER": "dummy"})
        self.stack.callback(terminal.close)
        terminal.wait_output(b"Email: ")
        terminal.type(harness.DEMO_EMAIL + "\n")
        terminal.wait_output(b"Password: ")
        # The terminal echoes as soon as it receives text, so type only once echo is off.
        harness.wait_until(lambda: not echo_on(terminal.master), what="echo to be switched off")
        return terminal

    def test_password_typed_on_a_terminal_is_not_echoed_and_echo_comes_back(self):
        terminal = self.start_terminal()
        terminal.type(PASSWORD + "\n")

        self.assertEqual(terminal.finish(), 2)
        output = terminal.output.decode(errors="replace")
        self.assertIn(harness.DEMO_EMAIL, output, "the e-mail is echoed: the terminal echoes")
        self.assertNotIn(PASSWORD, output)
        self.assertRegex(output, r"Password: \r?\n.*Login failed: HTTP 0")
        self.assertTrue(echo_on(terminal.master), "the terminal echoes again afterwards")

    # ThreadSanitizer defers a signal until the interrupted read returns, and the handler's
    # re-raise with the default action restored then does not end the process.
    @unittest.skipIf(os.environ.get("QV_SANITIZER") == "thread",
                     "ThreadSanitizer does not deliver a signal re-raised from its handler")
    def test_interrupted_password_prompt_gives_the_terminal_its_echo_back(self):
        terminal = self.start_terminal()
        terminal.type("half a passw")
        terminal.proc.send_signal(signal.SIGINT)
        self.assertEqual(terminal.finish(), -signal.SIGINT)
        self.assertTrue(echo_on(terminal.master), "Ctrl+C left the terminal without echo")
        self.assertNotIn(b"half a passw", terminal.output)

    def test_server_with_an_unverifiable_certificate_gets_no_request(self):
        cert, key = os.path.join(self.workdir, "server.crt"), os.path.join(self.workdir, "key")
        # Valid for 127.0.0.1 by name, so only the missing trust can make the client refuse.
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", key, "-out", cert], check=True, capture_output=True)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        listener = socket.create_server(("127.0.0.1", 0))
        self.stack.callback(listener.close)
        handshakes = []  # how each ended, and what came over an accepted one

        def serve():
            while True:
                try:
                    raw, _ = listener.accept()
                    raw.settimeout(10)
                    with context.wrap_socket(raw, server_side=True) as tls:
                        handshakes.append("accepted: " + tls.recv(65536).decode(errors="replace"))
                except OSError as error:  # also ssl.SSLError
                    if listener.fileno() < 0:
                        return
                    handshakes.append(str(error))
        threading.Thread(target=serve, daemon=True).start()
        client = self.start_client([f"https://127.0.0.1:{listener.getsockname()[1]}"],
                                   env={"SDL_VIDEODRIVER": "dummy"},
                                   credentials=(harness.DEMO_EMAIL, PASSWORD))
        self.assertEqual(client.wait_exit(), 2)
        self.assertEqual(client.stderr(), f"Login failed: HTTP 0\nLog file: {client.log_path}\n")
        harness.wait_until(lambda: handshakes, what="the client's handshake")
        # The client itself broke off the handshake with an alert about the certificate, so
        # no credentials went to the server.
        self.assertTrue(all(re.search(r"ALERT_(UNKNOWN_CA|BAD_CERTIFICATE|CERTIFICATE_UNKNOWN)",
                                      h) for h in handshakes), handshakes)


if __name__ == "__main__":
    harness.main()
