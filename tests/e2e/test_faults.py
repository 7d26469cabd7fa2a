"""The real client when things go wrong: each case checks what the client does about it, and
that it neither crashes nor hangs."""

import json
import signal
import time

import harness
from stream_checks import wait_decoding

SESSION = "/game-sessions/demo-session/webrtc/"
# The client's HTTP time-out; a request to a frozen service ends after it.
REQUEST_TIMEOUT = 10
# What the rtc layer waits without any packet before it calls the peer gone.
SILENCE_LIMIT = 10
# How long the slow service below holds a request: shorter than the client's time-out, so only
# the client's stop can end the request before the service answers.
HELD_MS = 9000


class SignalingFaultTest(harness.EndToEndTest):

    def test_refused_answer_makes_the_connection_fail_and_the_client_end(self):
        refusal = {"error": "signal store down"}
        _, service, client = self.start_session(scenario={"rules": [
            {"method": "POST", "path": SESSION + "signal", "status": 500, "body": refusal,
             "times": 1}]})

        # With no answer at the service the engine's checks go unanswered until it gives up;
        # Failed ends the client like any lost peer.
        self.assertEqual(client.wait_exit(timeout=40), 0)
        lines = client.log_lines()
        states = [l for l in lines if l.startswith("peer_state=")]
        self.assertEqual(states[-1], "peer_state=4")
        self.assertNotIn("peer_state=2", states)
        self.assertEqual([l for l in lines if l.startswith("signaling_error=")],
                         ["signaling_error=POST " + SESSION + "signal HTTP 500: " +
                          json.dumps(refusal, separators=(",", ":"))])
        # The candidates wait for an answer that never went up, so nothing more is posted.
        self.assertEqual(len(service.requests(SESSION + "signal")), 1)


class ServiceLossTest(harness.EndToEndTest):

    def test_service_killed_or_frozen_ends_the_session_as_a_lost_peer(self):
        for fault in ("killed", "frozen"):
            with self.subTest(fault):
                _, service, client = self.start_session()
                wait_decoding(client, what="pictures")
                if fault == "killed":
                    service.proc.send_signal(signal.SIGKILL)
                    service.proc.wait()
                    # The new service knows neither the client's token nor its viewer.
                    restarted = self.start_service(port=service.port)
                else:
                    service.proc.send_signal(signal.SIGSTOP)
                    self.stack.callback(service.proc.send_signal, signal.SIGCONT)
                began = time.monotonic()
                client.wait_log("peer_state=3", timeout=SILENCE_LIMIT + 10)
                lost = time.monotonic()
                # Requests in flight to a frozen service are cut short by the stop; nothing
                # else may hold the shutdown.
                self.assertEqual(client.wait_exit(timeout=REQUEST_TIMEOUT + 5), 0)
                self.assertGreaterEqual(lost - began, SILENCE_LIMIT - 1)
                self.assertNotIn("peer_state=5", client.log_lines())
                self.assertIn("Peer state: 3\n", client.stdout())
                if fault == "killed":
                    self.assertTrue(restarted.requests(SESSION + "events"),
                                    "the client did not poll the restarted service")
                    self.assertRegex(client.stderr(), r"(?m)^Signaling: .* HTTP 401: ")
                    # No new offer was made for the old viewer, so the client never answered.
                    self.assertEqual(restarted.requests(SESSION + "signal"), [])


def held(method, path, **more):
    return {"method": method, "path": path, "delayMs": HELD_MS, **more}


# The keys that open the information box from the menu: Up wraps round to the last row.
INFORMATION = ("Up", "Return")
# Every state SIGTERM may find the client in, held there by a slow service (its last rule is
# the request cut short) or a modal window: the client ends at once with exit code 0. Columns:
# the state, the service's rules, the keys pressed in the menu (None: no menu).
STOP_CASES = [
    ("login", [held("POST", "/auth/login")], None),
    ("waiting_for_the_offer", [held("GET", SESSION + "events", prefix=True)], None),
    ("answer_posting", [held("POST", SESSION + "signal")], None),
    # the answer goes through, the first candidate after it is held
    ("candidate_posting", [{"method": "POST", "path": SESSION + "signal", "times": 1},
                           held("POST", SESSION + "signal")], None),
    ("network_test", [held("GET", "/diagnostics/ping")], ("Up", "Up", "Return")),
    ("menu_open", [], ()),
    ("information_box_open", [], INFORMATION),
]


class StopTest(harness.EndToEndTest):

    def use_menu(self, screen, client, keys):
        wait_decoding(client, more=1)
        screen.open_menu(screen.client_window())
        screen.keys(*keys)
        if keys == INFORMATION:
            screen.wait_message_box("О Quorvanta")

    def stop_while(self, state, rules, keys):
        # The window fills the screen, so window and screen coordinates agree.
        screen, service, client = self.start_session(scenario={"rules": rules}, size=(1280, 720))
        if keys is not None:
            self.use_menu(screen, client, keys)
        if rules:
            method, path = rules[-1]["method"], rules[-1]["path"]
            harness.wait_until(lambda: len([r for r in service.requests(path)
                                            if r["method"] == method]) >= len(rules),
                               timeout=30, what=f"the held {method} {path}")
        self.assertEqual(client.stop(timeout=REQUEST_TIMEOUT), 0)
        if rules:
            self.assertIn(f"http_error={method} {path}: cancelled, the client is stopping",
                          client.log_lines())
        harness.wait_until(lambda: screen.message_boxes() == [], what="no box left open")
        for failure in ("Login failed", "Quorvanta Client error", "Signaling: "):
            self.assertNotIn(failure, client.stderr())

    def test_session_ended_by_the_service_closes_an_open_box_and_the_client(self):
        # Long enough for a loaded sanitizer run to open the box before the end.
        screen, _, client = self.start_session("--session-seconds", "20", size=(1280, 720))
        self.use_menu(screen, client, INFORMATION)
        self.assertIsNone(client.proc.poll(), "the session ended before the box opened")
        self.assertEqual(client.wait_exit(timeout=SILENCE_LIMIT + 25), 0)
        harness.wait_until(lambda: screen.message_boxes() == [], what="no box left open")


for _state, *_row in STOP_CASES:
    setattr(StopTest, "test_sigterm_ends_the_client_at_once_while_" + _state,
            lambda self, state=_state, row=tuple(_row): self.stop_while(state, *row))


if __name__ == "__main__":
    harness.main()
