// The limit that keeps the page's link requests from starting a process each: on a clock of the
// test's own, so that nothing depends on how fast the machine runs.
#include "IntervalLimit.h"

#include <gtest/gtest.h>

using lorquist::BrowserIntegration::IntervalLimit;

TEST (IntervalLimit, OneRequestPassesPerIntervalAndRefusedOnesDoNotPushItOn)
{
    double now = 5000.0;
    IntervalLimit limit (1000.0, [&now] { return now; });

    struct Step { double at; bool passes; };
    const Step steps[] = {
        { 5000.0, true },  // the first request ever
        { 5000.0, false }, // at once again
        { 5500.0, false },
        { 5999.9, false }, // refusals do not start the interval again...
        { 6000.0, true },  // ...so it ends one interval after the last that passed
        { 6000.0, false },
        { 9000.0, true },  // after a long quiet time
        { 9000.5, false },
    };

    for (const auto& step : steps)
    {
        SCOPED_TRACE (step.at);
        now = step.at;
        EXPECT_EQ (limit.pass(), step.passes);
    }
}
