"""The real client when things go wrong: a refused answer, odd telemetry answers, the service
killed or frozen mid-session, SIGTERM in every state, and a session the service ends under an
open box. (Failing polls and candidate posts, and a network test failing half-way, are cases
of the signaling and diagnostics unit tables; hostile servers are in test_hostile.py.) Each
case checks what the client is meant to do about it, and that it neither crashes nor hangs."""

import json
import os
import signal
import time

import desktop
import harness
import stream_checks as checks
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

    def signal_posts(self, service):
        return [json.loads(r["body"]) for r in service.requests(SESSION + "signal")]

    def test_refused_answer_holds_every_candidate_and_the_connection_fails(self):
        refusal = {"error": "signal store down"}
        service = self.start_service(scenario={"rules": [
            {"method": "POST", "path": SESSION + "signal", "status": 500, "body": refusal,
             "times": 1}]})
        xvfb = self.start_xvfb(640, 360)
        started = time.monotonic()
        client = self.start_client([service.base_url], env=xvfb.env())

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
        # Candidates were gathered all the while (the checks used them) but none went up.
        posts = self.signal_posts(service)
        self.assertEqual([p["type"] for p in posts], ["set_remote_description"])
        self.assertEqual(posts[0]["sdpType"], "answer")
        # The poller is not the uplink: it has nothing to report.
        self.assertEqual(signaling_lines(client), [])


class TelemetryFaultTest(harness.EndToEndTest):

    def test_slow_and_unusable_answers_steer_the_proposals_and_leave_the_stream_alone(self):
        path = SESSION + "telemetry"

        def answer(body, **more):
            return {"method": "POST", "path": path, "status": 200, "body": body, "times": 1,
                    **more}
        service = self.start_service(scenario={"rules": [
            answer({"bitrate": 9000000}),
            answer({"bitrate": 9000000}, delayMs=400),
            answer({"bitrate": -5000000}),
            answer({"bitrate": 1e30}),
            # As text, so the numbers reach the client as written.
            answer("{\"bitrate\":18446744073709551616}"),
            answer("{\"bitrate\":18446744073709551615}"),
        ]})
        xvfb = self.start_xvfb(1366, 768)
        client = self.start_client([service.base_url], env=xvfb.env())
        client.wait_log(lambda lines: len(checks.telemetry_lines(lines)) >= 5, timeout=60,
                        what="five telemetry statistics lines")
        lines = client.log_lines()
        stats = checks.telemetry_lines(lines)
        self.assertEqual([int(m.group(1)) for m in stats[:5]],
                         [9000, 9000, 18446744073709551, 50000, 50000])
        self.assertGreaterEqual(int(stats[1].group(3)), 400)
        self.assertEqual([l for l in lines if l.startswith("telemetry_error=")], [
            "telemetry_error=bitrate out of range: -5000000",
            "telemetry_error=bitrate out of range: 1e+30",
            "telemetry_error=bitrate out of range: 1.8446744073709552e+19",
        ])

        proposals = [json.loads(r["body"])["availableBitrate"] for r in service.requests(path)]
        first_rtt = int(stats[0].group(3))
        self.assertEqual(proposals[0], 10_000_000)
        self.assertEqual(proposals[1], 11_250_000 if first_rtt < 250 else 8_100_000)
        # The slow answer makes the next proposal 0.9 of the target; failed cycles keep that
        # report time, so the proposal holds until a cycle succeeds.
        self.assertEqual(proposals[2:6], [8_100_000] * 4)
        # The largest integer is taken as the target as it stands, but what the client proposes
        # from it stops at its 100 Mbit/s ceiling; the stand-in's own brings the target back.
        self.assertEqual(proposals[6], 100_000_000)

        # The stream never noticed.
        wait_decoding(client, what="pictures after the unusable answers")
        self.assertNotIn("peer_state=3", lines)
        client.proc.send_signal(signal.SIGTERM)
        self.assertEqual(client.wait_exit(timeout=20), 0)


class ServiceLossTest(harness.EndToEndTest):

    def start_streaming(self, service):
        xvfb = self.start_xvfb(640, 360)
        client = self.start_client([service.base_url], env=xvfb.env())
        client.wait_log(has_line("peer_state=2"), timeout=30, what="peer_state=2")
        wait_decoding(client, what="pictures")
        return client

    def test_service_killed_and_restarted_ends_the_session_as_a_lost_peer(self):
        service = self.start_service()
        client = self.start_streaming(service)
        service.proc.send_signal(signal.SIGKILL)
        service.proc.wait()
        killed = time.monotonic()
        # The new service knows neither the client's token nor its viewer.
        restarted = self.start_service(port=service.port,
                                       workdir=os.path.join(self.workdir, "restarted"))

        self.assertEqual(client.wait_exit(timeout=SILENCE_LIMIT + REQUEST_TIMEOUT + 5), 0)
        took = time.monotonic() - killed
        print(f"[ figures ] client ended {took:.2f} s after the service was killed")
        lines = client.log_lines()
        self.assertIn("peer_state=3", lines)
        self.assertNotIn("peer_state=5", lines)
        self.assertGreaterEqual(took, SILENCE_LIMIT - 1)

        polls = restarted.requests(SESSION + "events")
        self.assertTrue(polls, "the client did not poll the restarted service")
        refused = [l for l in signaling_lines(client) if " HTTP 401: " in l]
        self.assertTrue(refused, client.stderr())
        # No new offer was made for the old viewer, so the client never answered again.
        self.assertEqual(restarted.requests(SESSION + "signal"), [])

    def test_frozen_service_is_a_lost_peer_after_the_silence_and_the_client_exits(self):
        service = self.start_service()
        client = self.start_streaming(service)
        service.proc.send_signal(signal.SIGSTOP)
        self.stack.callback(service.proc.send_signal, signal.SIGCONT)
        frozen = time.monotonic()

        client.wait_log(has_line("peer_state=3"), timeout=SILENCE_LIMIT + 10,
                        what="peer_state=3")
        lost = time.monotonic()
        # Requests in flight to the frozen service are cut short by the stop; nothing else
        # may hold the shutdown.
        self.assertEqual(client.wait_exit(timeout=REQUEST_TIMEOUT + 5), 0)
        ended = time.monotonic()
        print(f"[ figures ] peer_state=3 {lost - frozen:.2f} s after the service froze, "
              f"client ended {ended - lost:.2f} s later")
        self.assertGreaterEqual(lost - frozen, SILENCE_LIMIT - 1)
        self.assertIn("Peer state: 3\n", client.stdout())


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
    ("candidate_posting", [{"method": "POST", "path": SESSION + "signal", "times": 1},
                           held(SESSION + "signal", "POST")], None, "POST " + SESSION + "signal"),
    ("network_test", [held("/diagnostics/ping")], "network test", "GET /diagnostics/ping"),
    ("menu_open", [], "menu", None),
    ("information_box_open", [], "information", None),
]

class StopTest(harness.EndToEndTest):

    def stop_while(self, state, rules, action, cut_short):
        # The window fills the screen, so window and screen coordinates agree.
        xvfb = self.start_xvfb(1280, 720)
        screen = desktop.Desktop(xvfb.display)
        service = self.start_service(scenario={"rules": rules})
        client = self.start_client([service.base_url], env=xvfb.env())
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
        xvfb = self.start_xvfb(1280, 720)
        screen = desktop.Desktop(xvfb.display)
        service = self.start_service("--session-seconds", "12")
        client = self.start_client([service.base_url], env=xvfb.env())
        wait_decoding(client, more=1)
        screen.open_menu(screen.client_window())
        screen.keys("Up", "Return")  # the information box
        screen.wait_message_box("О Quorvanta")
        self.assertEqual(client.wait_exit(timeout=SILENCE_LIMIT + 20), 0)
        harness.wait_until(lambda: screen.message_boxes() == [], what="no box left open")


for _state, *_row in STOP_CASES:
    setattr(StopTest, "test_sigterm_ends_the_client_at_once_while_" + _state,
            lambda self, state=_state, row=tuple(_row): self.stop_while(state, *row))


if __name__ == "__main__":
    harness.main()
