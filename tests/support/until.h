// The one way tests wait for something that no event announces: poll a
// condition, bounded in time and in rounds.
#pragma once

#include <chrono>
#include <thread>

template <class Done>
bool until(Done done, std::chrono::milliseconds timeout = std::chrono::seconds(10),
           std::chrono::microseconds step = std::chrono::milliseconds(5))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (int round = 0; round < 1000000 && !done(); ++round) {
        if (std::chrono::steady_clock::now() >= deadline)
            return done();
        std::this_thread::sleep_for(step);
    }
    return done();
}
