#include "HeardAudio.h"

#include "BlockPlayer.h"

#include <cmath>
#include <optional>
#include <sstream>
#include <string>

namespace calbrix_test
{
    namespace wet
    {
        std::vector<float> itsInput (const std::vector<float>& input, int) { return input; }

        std::vector<float> twiceItsInput (const std::vector<float>& input, int)
        {
            return scaled (input, 2.0f);
        }

        std::vector<float> zeros (const std::vector<float>& input, int) { return std::vector<float> (input.size(), 0.0f); }

        std::vector<float> nothing (const std::vector<float>&, int) { return {}; }

        std::vector<float> itsInputButTheFifthAnswerAsZeros (const std::vector<float>& input, int blockSize)
        {
            auto out = input;
            const auto first = static_cast<size_t> (4 * blockSize);
            for (size_t i = first; i < out.size() && i < first + static_cast<size_t> (blockSize); ++i)
                out[i] = 0.0f;
            return out;
        }

        std::vector<float> itsInputOneSampleShortPerAnswer (const std::vector<float>& input, int blockSize)
        {
            std::vector<float> out;
            for (size_t start = 0; start + static_cast<size_t> (blockSize) <= input.size(); start += static_cast<size_t> (blockSize))
                out.insert (out.end(), input.begin() + static_cast<long> (start), input.begin() + static_cast<long> (start) + blockSize - 1);
            return out;
        }
    } // namespace wet

    namespace
    {
        // A late block's input waits in the paths; a block that is silent without being late went
        // to neither path (the processor was loading, or the paths held all that the latency can
        // cover): a block that went in and was played in time is never all zeros here, as the dry
        // signal or the model's answer always carries the tone.
        bool wentIntoThePaths (const PlayedBlock& block) { return block.late || ! block.silent; }

        // The expectation leaves out the wet path's 10 Hz high-pass: at the test tone's frequencies
        // (277 Hz and up), its ringing after a fade or a jump in the wet signal included, it moves
        // a sample by about 0.01 at most. A wrong path is off by 0.1 to 1.
        constexpr float mixTolerance = 0.05f;

        class Expectation
        {
        public:
            Expectation (const DrivenAudioDevice& device, const Hearing& h) : take (device.take()), hearing (h), n (take.blockSize)
            {
                for (const auto& block : take.blocks)
                {
                    if (! wentIntoThePaths (block))
                        continue;
                    for (int channel = 0; channel < 2; ++channel)
                    {
                        const auto& tone = device.tone (channel);
                        const auto first = tone.begin() + static_cast<long> (block.toneBlock) * n;
                        input[channel].insert (input[channel].end(), first, first + n);
                    }
                    dryGain.insert (dryGain.end(), static_cast<size_t> (n), block.dry);
                }
                for (int channel = 0; channel < 2; ++channel)
                    wetPath[channel] = hearing.wet (input[channel], n);
            }

            // Why block `played` of the take is not block `stream` of the paths mixed, if it is not.
            std::optional<std::string> mismatch (size_t played, size_t stream) const
            {
                const auto& block = take.blocks[played];
                const auto gains = block.wet * block.fade;
                for (int channel = 0; channel < 2; ++channel)
                {
                    const auto& out = channel == 0 ? take.left : take.right;
                    const auto end = (stream + 1) * static_cast<size_t> (n);
                    if (wetPath[channel].size() < end)
                        return "it was heard, but the model had not answered for it";

                    for (int i = 0; i < n; ++i)
                    {
                        const auto t = stream * static_cast<size_t> (n) + static_cast<size_t> (i);
                        float dry = 0.0f;
                        if (t >= static_cast<size_t> (hearing.modelDelay))
                        {
                            const auto source = t - static_cast<size_t> (hearing.modelDelay);
                            dry = dryGain[source] * input[channel][source];
                        }
                        const float expected = (wetPath[channel][t] * gains + dry) * block.output;
                        const float heard = out[played * static_cast<size_t> (n) + static_cast<size_t> (i)];
                        // NaN: a gain moved during the block, the sample is not judged.
                        if (std::isnan (expected))
                            continue;
                        if (! (std::abs (heard - expected) <= mixTolerance))
                        {
                            std::ostringstream why;
                            why << "channel " << channel << " sample " << i << " is " << heard << ", expected " << expected
                                << " (wet " << wetPath[channel][t] << " x " << gains << ", dry " << dry << ", output gain "
                                << block.output << ")";
                            return why.str();
                        }
                    }
                }
                return std::nullopt;
            }

            size_t blocks() const { return input[0].size() / static_cast<size_t> (n); }

        private:
            const Take& take;
            const Hearing& hearing;
            const int n;
            std::vector<float> input[2], wetPath[2], dryGain;
        };
    } // namespace

    ::testing::AssertionResult heardAsExpected (const DrivenAudioDevice& device, const Hearing& hearing)
    {
        const auto& take = device.take();
        const bool mayHaveSkipped = take.anyByTheClock();
        if (mayHaveSkipped && hearing.modelDelay != 0)
            return ::testing::AssertionFailure() << "a take with blocks by the clock is judged only without a model delay";
        if (take.unrecorded > 0)
            return ::testing::AssertionFailure() << take.unrecorded << " blocks were played beyond the take's room";

        const Expectation expectation (device, hearing);
        size_t stream = 0; // the next block of the paths
        int silentAtTheWorkersPace = 0;

        for (size_t played = 0; played < take.blocks.size(); ++played)
        {
            const auto& block = take.blocks[played];
            if (block.silent && ! block.byTheClock)
                ++silentAtTheWorkersPace;

            if (block.late)
            {
                if (! block.silent)
                    return ::testing::AssertionFailure() << "block " << played << " was late but not silent";
                continue; // its paths wait in the queues for the next block
            }
            if (! wentIntoThePaths (block))
                continue;

            auto why = expectation.mismatch (played, stream);
            if (why && mayHaveSkipped)
            {
                for (size_t later = stream + 1; later < expectation.blocks() && why; ++later)
                    if (! expectation.mismatch (played, later))
                    {
                        stream = later;
                        why.reset();
                    }
            }
            if (why)
                return ::testing::AssertionFailure() << "block " << played << " of " << take.blocks.size()
                                                     << " (the paths' block " << stream << "): " << *why;
            ++stream;
        }

        if (hearing.silence.atMost >= 0 && silentAtTheWorkersPace > hearing.silence.atMost)
            return ::testing::AssertionFailure() << silentAtTheWorkersPace << " blocks were silent, at most "
                                                 << hearing.silence.atMost << " may be";

        return ::testing::AssertionSuccess() << stream << " blocks heard, " << silentAtTheWorkersPace
                                             << " silent at the worker's pace";
    }
} // namespace calbrix_test
