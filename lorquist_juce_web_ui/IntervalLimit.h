#pragma once

#include <juce_core/juce_core.h>

#include <functional>
#include <optional>

namespace lorquist::BrowserIntegration
{
    // Lets something happen at most once per interval: a request passes when none has passed
    // within the interval before it; the others are refused and do not push the interval on.
    class IntervalLimit
    {
    public:
        // Milliseconds from any fixed start that never runs backwards.
        using Clock = std::function<double()>;

        explicit IntervalLimit (double intervalMs, Clock clock = [] { return juce::Time::getMillisecondCounterHiRes(); });

        // True when this request may go ahead; it then starts a new interval.
        bool pass();

    private:
        double intervalMs;
        Clock clock;
        std::optional<double> lastPassed;
    };
} // namespace lorquist::BrowserIntegration
