#pragma once

// What the user must hear from a take of the driven device, whatever the machine's speed: every
// block is either silent (late) or the next block of the model's answers on the wet path plus the
// delayed dry signal, mixed under the gains the processor had.
#include "DrivenAudioDevice.h"

#include <gtest/gtest.h>

#include <vector>

namespace calbrix_test
{
    // The wet path a model gives for one channel's input since its last reset, which it is handed
    // `blockSize` samples at a time: the samples the user must hear through the wet path (the
    // engine's treatment of answers it cannot play included). Shorter than the input when the
    // model answers less than it was given.
    using WetPath = std::vector<float> (*) (const std::vector<float>& input, int blockSize);

    namespace wet
    {
        std::vector<float> itsInput (const std::vector<float>& input, int blockSize);
        std::vector<float> twiceItsInput (const std::vector<float>& input, int blockSize);
        // Every answer is played as zeros (answers that are not finite or that the engine cannot read).
        std::vector<float> zeros (const std::vector<float>& input, int blockSize);
        // No answer ever reaches the wet path.
        std::vector<float> nothing (const std::vector<float>& input, int blockSize);
        // Its input, but the fifth answer after the reset is played as zeros.
        std::vector<float> itsInputButTheFifthAnswerAsZeros (const std::vector<float>& input, int blockSize);
        // Its input, each answer one sample shorter than the block it was given.
        std::vector<float> itsInputOneSampleShortPerAnswer (const std::vector<float>& input, int blockSize);
    } // namespace wet

    // How many of the blocks handed at the worker's pace may be silent; -1 for any number.
    struct Silence
    {
        int atMost = -1;
    };
    constexpr Silence noBlockSilentButAtMost (int blocks) { return { blocks }; }
    constexpr Silence anyBlockMayBeSilent() { return { -1 }; }

    struct Hearing
    {
        WetPath wet = wet::itsInput;
        // Samples the dry path is delayed by.
        int modelDelay = 0;
        Silence silence;
    };

    // Judges the device's take, which must begin right after a queue reset (the paths start
    // empty). Where the paths hold all that the latency can cover, the engine drops a block from
    // both; by the clock, a block heard then may be a later block of the input than the one after
    // the last heard. A take with blocks by the clock is therefore judged up to such drops, and
    // only without a model delay.
    ::testing::AssertionResult heardAsExpected (const DrivenAudioDevice& device, const Hearing& hearing);
} // namespace calbrix_test
