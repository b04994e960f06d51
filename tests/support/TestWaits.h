#pragma once

// How long a test waits for each kind of step before it gives up and fails. Every bound is at
// least ten times what the step takes on an idle machine (the figure beside it), so that a slow or
// loaded machine makes a test slower, never red. A wait that is not a bound (a step that must
// not happen) is not here: no test asserts that something took less than a time.
#include "PluginProcessor.h"

namespace calbrix_test::waits
{
    // The inference worker's answer to one block, until it is idle again: ~2 ms idle. Also the
    // bound for what the worker does with a few queued blocks (their output, its error lines).
    constexpr int workerAnswerMs = 30000;

    // One model load to its last state-tree write, the file check included: 0.1 to 0.5 s idle
    // (about 2 s where the checking server crashes on the file and is replaced).
    constexpr int modelLoadMs = 60000;

    // A checking process that was told to end (a cancelled check's reader and session, a killed
    // reader's session answering): ~10 ms idle.
    constexpr int checkingProcessEndsMs = 30000;

    // Writing a good model of a few hundred MiB with the model scripts: ~5 s idle.
    constexpr int largeModelWriteMs = 120000;

    // Loading such a model, its copy and check included: ~3 s idle.
    constexpr int largeModelLoadMs = 120000;

    // The inference worker carrying out a requested queue reset: ~1 ms idle.
    constexpr int queueResetMs = 10000;

    // A model call that is to stay has begun (a load's warm-up, or forty blocks of audio and the
    // worker's next call): under 1 s idle.
    constexpr int modelCallBeginsMs = 60000;

    // A small file request of the page answered by the plug-in client's worker: ~1 ms idle.
    constexpr int fileRequestMs = 10000;

    // A file request on a file of about 100 MiB (read or save, with its Base64), answered: ~1 s idle.
    constexpr int largeFileRequestMs = 60000;

    // A model call that stays until the engine gives up on it: the engine's own bound, ten times.
    constexpr int stuckCallAbandonedMs = 10 * CalbrixAudioProcessor::stuckCallMs;

    // A host's prepareToPlay that the model part of the preparation holds up: the engine's own
    // bounded wait, ten times.
    constexpr int hostPreparationMs = 10 * CalbrixAudioProcessor::hostPreparationWaitMs;

    // A web view's child started (or started again), its page loaded, run and painted: 1 to 2 s idle.
    constexpr int pageShownMs = 60000;

    // A drag's last move reaching the component it resizes, or an area it uncovered painted
    // again: well under 0.5 s idle.
    constexpr int repaintMs = 30000;

    // A processor going while a model call stays: the engine's own bounded waits, then nothing
    // more (5 s idle).
    constexpr int teardownMs = 10 * (CalbrixAudioProcessor::inferenceStopWaitMs + CalbrixAudioProcessor::loadingStopWaitMs);

    // A thread pool starting a job queued on an idle thread: under 1 ms idle.
    constexpr int poolJobStartsMs = 10000;

    // The state mirror sending the batch of a change on its next timer tick: ~16 ms idle.
    constexpr int mirrorBatchMs = 10000;

    // A helper program the application starts (the system browser's opener) having run: ~20 ms idle.
    constexpr int launchedProgramMs = 20000;

    // The web view's child and WebKit's processes started, and a page loaded in it to its first
    // message; also a page loaded again in a running view (a navigation, a hidden view shown): 1 to
    // 4 s idle, and then mostly starting processes, which a loaded machine slows most.
    constexpr int pageStartMs = 120000;

    // A script sent to a running page, and the message it posts back: under 50 ms idle.
    constexpr int pageAnswerMs = 30000;

    // A page's message of 64 MiB made, carried to the child and refused there, and the next one
    // through: about 1 s idle; copies of that size are what a loaded machine short of memory
    // slows most (over 60 s seen).
    constexpr int largeMessageMs = 240000;

    // A killed web view child (or its WebKit web process) found dead, reaped and another child
    // started in its place, its page not yet loaded: under 0.5 s idle.
    constexpr int childRestartMs = 60000;

    // A web view child that was killed or told to go has ended: well under 0.1 s idle, longer for
    // a child with many threads on a loaded machine.
    constexpr int childEndMs = 30000;
} // namespace calbrix_test::waits
