#include "DelayLine.h"

#include <algorithm>

DelayLine::DelayLine (int requestedSize)
    : buffer (static_cast<size_t> (size), 0.0f)
{
    // Every line holds the same two seconds at 48 kHz, whatever is asked for.
    (void) requestedSize;
}

float DelayLine::process (float input, float delayInSamples) noexcept
{
    // A delay the buffer cannot hold (or NaN) would index outside it.
    if (! (delayInSamples >= 0.0f))
        delayInSamples = 0.0f;
    delayInSamples = std::min (delayInSamples, static_cast<float> (size - 1));

    const int whole = static_cast<int> (delayInSamples);
    const float frac = delayInSamples - static_cast<float> (whole);

    // Wrapped by comparison rather than %: the audio thread runs this twice a sample, and an
    // integer division costs more than the rest of the step.
    int i0 = writeIndex - whole - 1;
    if (i0 < 0)
        i0 += size;
    const int i1 = i0 + 1 == size ? 0 : i0 + 1;

    buffer[static_cast<size_t> (writeIndex)] = input;
    const float result = (buffer[static_cast<size_t> (i0)] * frac + buffer[static_cast<size_t> (i1)] * (1.0f - frac)) * gain;

    writeIndex = writeIndex + 1 == size ? 0 : writeIndex + 1;
    return result;
}

void DelayLine::clear() noexcept
{
    std::fill (buffer.begin(), buffer.end(), 0.0f);
    writeIndex = 0;
}
