#pragma once

#include <vector>

// Fixed circular buffer with a linearly interpolated read; delays the dry path by the model's delay.
class DelayLine
{
public:
    explicit DelayLine (int requestedSize);

    // Stores one sample and returns the one written `delayInSamples` steps earlier. Delays outside
    // 0 .. size - 1 are clamped into that range.
    float process (float input, float delayInSamples) noexcept;

    // Zeroes every stored sample and rewinds the write position.
    void clear() noexcept;

    int getSize() const noexcept { return size; }

private:
    float gain = 1.0f;
    int size = 96000;
    std::vector<float> buffer;
    int writeIndex = 0;
};
