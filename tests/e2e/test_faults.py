"""The real client when things go wrong: a refused answer, the service killed or frozen
mid-session, SIGTERM in every state, and a session the service ends under an open box.
(Failing polls and candidate posts, odd telemetry answers and a network test failing half-way
are cases of the unit tables; hostile servers are in test_hostile.py.) Each case checks what
the client is meant to do about it, and that it neither crashes nor hangs."""

import json
import os
import signal
import time

import desktop
import harness
from stream_checks import has_line, signaling_lines, wait_decoding

SESSION = "/game-sessions/demo-session/webrtc/"
# The client's HTTP time-out; a request to a frozen service ends after it.
REQUEST_TIMEOUT = 10
# What the rtc layer waits without any packet before it calls the peer gone.
SILENCE_LIMIT = 10
# How long the slow service below holds a request: shorter than the client's time-out, so only
# the client's stop can end the request before the service answers.
HELD_MS = 9000
CANCELLED = ": cancelled, the client is stopping"


class SignalingFaultTest(harness.EndToEndTest):

    def test_refused_answer_makes_the_connection_fail_and_the_client_end(self):
        refusal = {"error": "signal store down"}
        started = time.monotonic()
        _, service, client = self.start_session(scenario={"rules": [
            {"method": "POST", "path": SESSION + "signal", "status": 500, "body": refusal,
             "times": 1}]})

        # The service never saw an answer, so the engine's checks go unanswered until it
        # gives up; Failed ends the client like any lost peer.
        self.assertEqual(client.wait_exit(timeout=40), 0)
        print(f"[ figures ] client ended {time.monotonic() - started:.2f} s after its start "
              f"without a posted answer")
        lines = client.log_lines()
        states = [l for l in lines if l.startswith("peer_state=")]
        self.assertEqual(states[-1], "peer_state=4")
        self.assertNotIn("peer_state=2", states)
        self.assertEqual([l for l in lines if l.startswith("signaling_error=")],
                         ["signaling_error=POST " + SESSION + "signal HTTP 500: " +
                          json.dumps(refusal, separators=(",", ":"))])
        # The candidates wait for an answer that never went up (a case of the uplink's unit
        # table), so nothing more is posted.
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
                    restarted = self.start_service(
                        port=service.port, workdir=os.path.join(self.workdir, "restarted"))
                else:
                    service.proc.send_signal(signal.SIGSTOP)
                    self.stack.callback(service.proc.send_signal, signal.SIGCONT)
                began = time.monotonic()
                client.wait_log(has_line("peer_state=3"), timeout=SILENCE_LIMIT + 10,
                                what="peer_state=3")
                lost = time.monotonic()
                # Requests in flight to a frozen service are cut short by the stop; nothing
                # else may hold the shutdown.
                self.assertEqual(client.wait_exit(timeout=REQUEST_TIMEOUT + 5), 0)
                print(f"[ figures ] {fault}: peer_state=3 {lost - began:.2f} s after the fault, "
                      f"client ended {time.monotonic() - lost:.2f} s later")
                self.assertGreaterEqual(lost - began, SILENCE_LIMIT - 1)
                self.assertNotIn("peer_state=5", client.log_lines())
                self.assertIn("Peer state: 3\n", client.stdout())
                if fault == "killed":
                    self.assertTrue(restarted.requests(SESSION + "events"),
                                    "the client did not poll the restarted service")
                    refused = [l for l in signaling_lines(client) if " HTTP 401: " in l]
                    self.assertTrue(refused, client.stderr())
                    # No new offer was made for the old viewer, so the client never answered.
                    self.assertEqual(restarted.requests(SESSION + "signal"), [])


def held(path, method=None, **more):
    return {"path": path, "delayMs": HELD_MS, **({"method": method} if method else {}), **more}


# Every state SIGTERM may find the client in, held there by a slow service or a modal window.
# The client must end at once with exit code 0, cutting short the request it waits for.
# Columns: the state, the service's scenario rules, what the user does first, the request cut
# short (method and path without the query).
STOP_CASES = [
    ("login", [held("/auth/login", "POST")], None, "POST /auth/login"),
    ("waiting_for_the_offer", [held(SESSION + "events", "GET", prefix=True)], None,
     "GET " + SESSION + "events"),
    ("answer_posting", [held(SESSION + "signal", "POST")], None, "POST " + SESSION + "signal"),
    # the answer goes through, the first candidate after it is held
    ("candidate_posting", [{"method": "POST", "path": SESSION + "signal", "times": 1},
                           held(SESSION + "signal", "POST")], None, "POST " + SESSION + "signal"),
    ("network_test", [held("/diagnostics/ping")], "network test", "GET /diagnostics/ping"),
    ("menu_open", [], "menu", None),
    ("information_box_open", [], "information", None),
]


class StopTest(harness.EndToEndTest):

    def stop_while(self, state, rules, action, cut_short):
        # The window fills the screen, so window and screen coordinates agree.
        xvfb, service, client = self.start_session(scenario={"rules": rules}, size=(1280, 720))
        screen = desktop.Desktop(xvfb.display)
        if action:
            wait_decoding(client, more=1)
            screen.open_menu(screen.client_window())
            if action == "information":
                screen.keys("Up", "Return")  # the last row
                screen.wait_message_box("О Quorvanta")
            elif action == "network test":
                screen.keys("Up", "Up", "Return")  # the row above it
        if cut_short:
            method, path = cut_short.split(" ", 1)
            count = 2 if state == "candidate_posting" else 1
            harness.wait_until(lambda: len([r for r in service.requests(path)
                                            if r["method"] == method]) >= count,
                               timeout=30, what=f"the held {cut_short}")

        signalled = time.monotonic()
        client.proc.send_signal(signal.SIGTERM)
        self.assertEqual(client.wait_exit(timeout=REQUEST_TIMEOUT), 0)
        print(f"[ figures ] {state}: client ended {time.monotonic() - signalled:.2f} s after "
              f"SIGTERM")
        if cut_short:
            self.assertIn("http_error=" + cut_short + CANCELLED, client.log_lines())
        harness.wait_until(lambda: screen.message_boxes() == [], what="no box left open")
        for failure in ("Login failed", "Quorvanta Client error", "Signaling: "):
            self.assertNotIn(failure, client.stderr())

    def test_session_ended_by_the_service_closes_an_open_box_and_the_client(self):
        # Long enough for a loaded sanitizer run to open the box before the end.
        xvfb, _, client = self.start_session("--session-seconds", "20", size=(1280, 720))
        screen = desktop.Desktop(xvfb.display)
        wait_decoding(client, more=1)
        screen.open_menu(screen.client_window())
        screen.keys("Up", "Return")  # the information box
        screen.wait_message_box("О Quorvanta")
        self.assertIsNone(client.proc.poll(), "the session ended before the box opened")
        self.assertEqual(client.wait_exit(timeout=SILENCE_LIMIT + 25), 0)
        harness.wait_until(lambda: screen.message_boxes() == [], what="no box left open")


for _state, *_row in STOP_CASES:
    setattr(StopTest, "test_sigterm_ends_the_client_at_once_while_" + _state,
            lambda self, state=_state, row=tuple(_row): self.stop_while(state, *row))


if __name__ == "__main__":
    harness.main()
