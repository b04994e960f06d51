#include "IntervalLimit.h"

namespace lorquist::BrowserIntegration
{
    IntervalLimit::IntervalLimit (double interval, Clock c)
        : intervalMs (interval),
          clock (std::move (c))
    {
    }

    bool IntervalLimit::pass()
    {
        const auto now = clock();
        if (lastPassed && now - *lastPassed < intervalMs)
            return false;

        lastPassed = now;
        return true;
    }
} // namespace lorquist::BrowserIntegration
