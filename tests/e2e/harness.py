"""Runs the real client and the stand-in service for end-to-end tests, on 127.0.0.1 only."""

import contextlib
import http.server
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

BUILD_DIR = os.environ.get("QV_BUILD_DIR") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build")
CLIENT = os.path.join(BUILD_DIR, "quorvanta-client")
SERVICE = os.path.join(BUILD_DIR, "quorvanta-local-service")
OFFERER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "aiortc_offerer.py")
DEMO_EMAIL = "demo@quorvanta.local"
DEMO_PASSWORD = "demo"
REPEATED_LINE = re.compile(r"^previous line repeated (\d+) times?$")


def wait_until(predicate, timeout=10.0, interval=0.05, what="condition"):
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(interval)
    return value


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def stop_process(proc, timeout=10):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    return proc.returncode


def read(path):
    with open(path, errors="replace") as f:
        return f.read()


class Xvfb:
    """A private X server; the client's display size is this screen's size."""

    def __init__(self, width=1366, height=768):
        read_fd, write_fd = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", f"{width}x{height}x24",
             "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        with os.fdopen(read_fd) as f:
            self.display = ":" + f.readline().strip()
        if self.display == ":":
            self.proc.kill()
            raise RuntimeError("Xvfb did not start")

    def close(self):
        stop_process(self.proc)

    def env(self):
        return {"DISPLAY": self.display}


class Service:
    """The stand-in service on a free (or the given) port, recording every request."""

    def __init__(self, workdir, *extra_args, scenario=None, port=None):
        self.port = port or free_port()
        self.base_url = f"http://127.0.0.1:{self.port}"
        self.record_path = os.path.join(workdir, "service-record.jsonl")
        args = [SERVICE, "--port", str(self.port), "--record", self.record_path, *extra_args]
        if scenario is not None:
            args += ["--scenario", os.path.join(workdir, "scenario.json")]
            with open(args[-1], "w") as f:
                json.dump(scenario, f)
        self.log_path = os.path.join(workdir, "service.log")
        self.log = open(self.log_path, "w")
        self.proc = subprocess.Popen(args, stdout=self.log, stderr=subprocess.STDOUT)

        def listening():
            if self.proc.poll() is not None:
                raise AssertionError("service exited early:\n" + read(self.log_path))
            return "listening on" in read(self.log_path)
        wait_until(listening, timeout=15, what="the service to listen")

    def records(self):
        if not os.path.exists(self.record_path):
            return []
        return [json.loads(line) for line in read(self.record_path).splitlines() if line.strip()]

    def requests(self, path_prefix=""):
        return [r for r in self.records() if "method" in r and r["path"].startswith(path_prefix)]

    def close(self):
        stop_process(self.proc)
        self.log.close()


class Client:
    """The real client, in its own settings folder; credentials on stdin (None: none, it ends)."""

    def __init__(self, workdir, args, env=None, credentials=(DEMO_EMAIL, DEMO_PASSWORD),
                 settings=None, closed_stdout=False):
        self.appdata = os.path.join(workdir, "appdata")
        self.settings_dir = os.path.join(self.appdata, "Quorvanta")
        os.makedirs(self.settings_dir, exist_ok=True)
        for name, value in (settings or {}).items():
            with open(os.path.join(self.settings_dir, name), "w") as f:
                f.write(value)
        self.log_path = os.path.join(self.settings_dir, "native-client.log")
        self.stdout_path = os.path.join(workdir, "client.stdout")
        self.stderr_path = os.path.join(workdir, "client.stderr")
        env = {"SDL_AUDIODRIVER": "dummy", **os.environ, "LOCALAPPDATA": self.appdata,
               **(env or {})}
        with open(self.stdout_path, "w") as out, open(self.stderr_path, "w") as err:
            if closed_stdout:  # a pipe whose reader has gone: every write to it fails
                read_end, out = os.pipe()
                os.close(read_end)
            self.proc = subprocess.Popen([CLIENT, *args], stdin=subprocess.PIPE, stdout=out,
                                         stderr=err, env=env)
        if closed_stdout:
            os.close(out)
        if credentials:
            self.proc.stdin.write(f"{credentials[0]}\n{credentials[1]}\n".encode())
        self.proc.stdin.close()

    def log_lines(self):
        """The log's lines with each collapsed run written out again (a run still open counts
        once until the next different line)."""
        lines = []
        if os.path.exists(self.log_path):
            for line in read(self.log_path).splitlines():
                repeated = REPEATED_LINE.match(line)
                lines += [lines[-1]] * int(repeated.group(1)) if repeated and lines else [line]
        return lines

    def wait_log(self, predicate, timeout=15, what=None):
        """Waits for the predicate on the log's lines to hold, or for lines of these texts."""
        if not callable(predicate):
            texts = {predicate} if isinstance(predicate, str) else predicate
            what, predicate = what or " and ".join(sorted(texts)), lambda l: texts <= set(l)

        def check():
            if self.proc.poll() is not None and not predicate(self.log_lines()):
                raise AssertionError(f"client exited ({self.proc.returncode}) before {what}:\n"
                                     + self.stderr())
            return predicate(self.log_lines())
        return wait_until(check, timeout=timeout, what=what)

    def wait_exit(self, timeout=30):
        return self.proc.wait(timeout=timeout)

    def stop(self, timeout=30):
        self.proc.send_signal(signal.SIGTERM)
        return self.wait_exit(timeout)

    def stdout(self):
        return read(self.stdout_path)

    def stderr(self):
        return read(self.stderr_path)

    def close(self):
        return stop_process(self.proc)


class EndToEndTest(unittest.TestCase):
    """Gives each test a work folder (kept when it fails) and closes what it started."""

    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="qv-e2e-")
        self.stack = contextlib.ExitStack()
        self.addCleanup(self._cleanup)

    def _cleanup(self):
        self.stack.close()
        result = self._outcome.result  # from Python 3.11 failures are reported there at once
        if any(getattr(test, "test_case", test) is self  # a failed subTest names its test
               for test, _ in result.errors + result.failures):
            print(f"kept work folder {self.workdir}", file=sys.stderr)
        else:
            shutil.rmtree(self.workdir, ignore_errors=True)

    def start_service(self, *args, scenario=None, port=None):
        service = Service(tempfile.mkdtemp(dir=self.workdir), *args, scenario=scenario, port=port)
        self.stack.callback(service.close)
        return service

    def start_client(self, args, **options):
        client = Client(tempfile.mkdtemp(dir=self.workdir, prefix="client-"), args, **options)
        self.stack.callback(client.close)
        return client

    def start_session(self, *service_args, scenario=None, size=(640, 360), args=(), env=None,
                      url=None, **client):
        """An X server of that size, a fresh service (unless the client is for the server at
        url) and the client on both; (desktop, service, client)."""
        import desktop  # which imports this module
        xvfb = Xvfb(*size)
        self.stack.callback(xvfb.close)
        service = None if url else self.start_service(*service_args, scenario=scenario)
        client = self.start_client([url or service.base_url, *args],
                                   env={**xvfb.env(), **(env or {})}, **client)
        return desktop.Desktop(xvfb.display), service, client

    def serve(self, handler):
        """An HTTP server on a free loopback port answering with that handler; its base URL."""
        handler.log_message = lambda *args: None  # a line per request would bury the findings
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        server.daemon_threads = True
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.stack.callback(server.server_close)
        self.stack.callback(server.shutdown)
        return f"http://127.0.0.1:{server.server_address[1]}"

    def start_offerer(self, *args):
        """The aiortc offerer: its process, base URL and a reader of what the client sent it."""
        record = os.path.join(self.workdir, "offerer-record.jsonl")
        errors = self.stack.enter_context(open(record + ".stderr", "w"))
        proc = subprocess.Popen(["/usr/bin/python3", OFFERER, "--record", record, *args],
                                stdout=subprocess.PIPE, stderr=errors, text=True)
        self.stack.callback(proc.stdout.close)
        self.stack.callback(stop_process, proc)
        line = proc.stdout.readline()
        self.assertTrue(line.startswith("listening on 127.0.0.1:"), line)

        def messages(*labels):
            rows = [json.loads(l) for l in read(record).splitlines() if l]
            return [r for r in rows if r["label"] in labels]
        return proc, "http://" + line.split()[-1], messages


def main():
    unittest.main(verbosity=2)
