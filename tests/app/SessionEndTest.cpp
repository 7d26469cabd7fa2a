#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/SessionEnd.hpp"

namespace {

using State = rtc::PeerConnection::State;
using Reason = SessionEndReason;

// What ends a session, in the order the client sees it, and the line the player reads. Only
// the first cause counts: later ones are its consequences.
TEST(SessionEnd, theFirstCauseSeenIsTheOneTold) {
    struct Case {
        std::vector<State> states;   // the connection's, before the other causes
        std::vector<Reason> others;  // window, signal
        std::string line;            // empty: no line at all
    };
    const std::vector<Case> cases = {
        {{State::Connecting, State::Connected, State::Closed},
         {Reason::WindowClosed},
         "Session ended: the server closed the stream"},
        {{State::Connected, State::Disconnected, State::Closed},
         {},
         "Session ended: the connection was lost, with no packets for 10 s"},
        {{State::Connecting, State::Failed}, {}, "Session ended: the engine failed"},
        {{State::Connected},
         {Reason::WindowClosed, Reason::Signal},
         "Session ended: the window was closed"},
        // A signal also pushes the quit event the closed window would.
        {{State::Connected},
         {Reason::Signal, Reason::WindowClosed},
         "Session ended: interrupted by a signal"},
        {{State::New, State::Connecting, State::Connected}, {}, ""},
    };
    for (const auto& c : cases) {
        SessionEnd end;
        for (State state : c.states) {
            if (auto reason = endReasonFor(state)) {
                end.record(*reason);
            }
        }
        for (Reason other : c.others) {
            end.record(other);
        }
        EXPECT_EQ(end.reason() ? sessionEndedLine(*end.reason()) : "", c.line) << c.line;
    }
}

}  // namespace
