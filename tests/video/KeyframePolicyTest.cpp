#include <gtest/gtest.h>

#include <optional>
#include <utility>
#include <vector>

#include "video/KeyframePolicy.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = KeyframePolicy::Clock;

struct Step {
    enum Kind { Frame, KeyFrame, Broken, Decoded, Poll, NextCheck } kind;
    double atMs;
    double rttMs = 10;     // Poll
    bool request = false;  // Poll: expected answer
    double nextMs = -1;    // NextCheck: expected time, -1 for none
};

// A key frame ending the request in flight is driven through the decode thread's tests.
TEST(KeyframePolicy, asksOnlyForBrokenPicturesWithOneRequestInFlight) {
    using S = Step;
    // clang-format off
    const std::pair<const char*, std::vector<Step>> cases[] = {
        {"damage asks at once, then waits 2 x RTT + 100 ms",
         {{S::KeyFrame, 0}, {S::Decoded, 1}, {S::Broken, 20}, {S::Poll, 20, 10, true},
          {S::Broken, 30}, {S::Poll, 30}, {S::NextCheck, 30, 0, false, 140}, {S::Poll, 139.9},
          {S::Poll, 140.1, 10, true}}},
        {"a damaged key frame is still broken",
         {{S::KeyFrame, 0}, {S::Broken, 0}, {S::Poll, 0, 10, true}}},
        {"unknown round trip: 100 ms assumed",
         {{S::Frame, 0}, {S::Decoded, 1}, {S::Broken, 2}, {S::Poll, 2, 0, true}, {S::Poll, 301},
          {S::Poll, 302.1, 0, true}}},
        {"pictures without a key frame only smear: ask a frame interval after the first",
         {{S::Frame, 0}, {S::Decoded, 1}, {S::Poll, 16}, {S::Poll, 17, 10, true},
          {S::KeyFrame, 30}, {S::Poll, 5000}}},
        {"no picture a frame interval after the first frame asks, until one comes",
         {{S::KeyFrame, 0}, {S::NextCheck, 0, 0, false, 16.668}, {S::Poll, 16}, {S::Frame, 16},
          {S::Poll, 17, 10, true}, {S::NextCheck, 17, 0, false, 137}, {S::Poll, 100},
          {S::Poll, 137.1, 10, true}, {S::Decoded, 150}, {S::Poll, 5000}, {S::NextCheck, 5000}}},
    };
    // clang-format on
    for (const auto& [name, steps] : cases) {
        SCOPED_TRACE(name);
        KeyframePolicy policy;
        const Clock::time_point zero{1000s};
        const auto at = [&](double ms) {
            return zero + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double, std::milli>(ms));
        };
        for (const Step& s : steps) {
            SCOPED_TRACE(testing::Message() << "step at " << s.atMs << " ms, kind " << s.kind);
            switch (s.kind) {
                case Step::Frame:
                case Step::KeyFrame:
                    policy.frameArrived(at(s.atMs), s.kind == Step::KeyFrame);
                    break;
                case Step::Broken:
                    policy.pictureBroken();
                    break;
                case Step::Decoded:
                    policy.pictureDecoded();
                    break;
                case Step::Poll:
                    EXPECT_EQ(policy.poll(at(s.atMs), s.rttMs), s.request);
                    break;
                case Step::NextCheck: {
                    const std::optional<Clock::time_point> next = policy.nextCheck();
                    const double nextMs =
                        next ? std::chrono::duration<double, std::milli>(*next - zero).count() : -1;
                    EXPECT_NEAR(nextMs, s.nextMs, 0.01);
                    break;
                }
            }
        }
    }
}

}  // namespace
