// The state mirror: changes of the watched tree reach the page in batches, in order, only once the
// page is ready, from whichever thread made them.
#include "BridgeTestSupport.h"

#include "BrowserValueTreeSynchroniser.h"

#include <thread>

using namespace calbrix_bridge_test;
using calbrix_test::pumpMessagesFor;
using calbrix_test::pumpMessagesUntil;
using lorquist::BrowserIntegration::BrowserValueTreeSynchroniser;

namespace
{
    const juce::Identifier counter { "n" };

    juce::ValueTree makeTree()
    {
        juce::ValueTree tree { "CalbrixValueTree" };
        tree.appendChild (juce::ValueTree ("PARAMX"), nullptr);
        return tree;
    }

    struct Mirror : ::testing::Test
    {
        std::vector<SentEvent> batches() const { return router.named ("valueTreeStateChange"); }

        bool waitForBatches (size_t count)
        {
            return pumpMessagesUntil ([&] { return batches().size() >= count; }, calbrix_test::waits::mirrorBatchMs);
        }

        size_t blobsIn (const SentEvent& batch) const { return static_cast<size_t> (batch.data["changes"].size()); }

        juce::ValueTree tree = makeTree();
        juce::ValueTree replica = tree.createCopy();
        BrowserComponent browser { "127.0.0.1", "", {} };
        RecordingRouter router { browser };
        BrowserValueTreeSynchroniser mirror { tree, "PARAMETERS", router };
    };
} // namespace

TEST_F (Mirror, HoldsEverythingBackUntilThePageIsReadyThenSendsOneBatchInOrder)
{
    for (int i = 1; i <= 100; ++i)
        tree.getChild (0).setProperty (counter, i, nullptr);

    pumpMessagesFor (200); // a dozen ticks
    mirror.flushUpdates();
    EXPECT_TRUE (router.sent.empty());

    router.pageReady = true;
    ASSERT_TRUE (waitForBatches (1));
    pumpMessagesFor (100);

    ASSERT_EQ (router.sent.size(), 1u);
    const auto batch = router.sent[0];
    EXPECT_EQ (batch.eventType, "valueTreeStateChange");
    // "treeId" then "changes", the changes as Base64 texts.
    auto* object = batch.data.getDynamicObject();
    ASSERT_NE (object, nullptr);
    ASSERT_EQ (object->getProperties().size(), 2);
    EXPECT_EQ (object->getProperties().getName (0).toString(), "treeId");
    EXPECT_EQ (object->getProperties().getName (1).toString(), "changes");
    EXPECT_TRUE (batch.data["treeId"].isString());
    EXPECT_EQ (batch.data["treeId"].toString(), "PARAMETERS");
    ASSERT_EQ (blobsIn (batch), 100u);

    // In order: replaying them one by one walks the counter up through every value.
    for (int i = 0; i < 100; ++i)
    {
        const auto block = decodeChange (batch.data["changes"][i]);
        ASSERT_TRUE (juce::ValueTreeSynchroniser::applyChange (replica, block.getData(), block.getSize(), nullptr));
        ASSERT_EQ (static_cast<int> (replica.getChild (0)[counter]), i + 1);
    }
    EXPECT_TRUE (replica.isEquivalentTo (tree));
}

TEST_F (Mirror, EachBatchHoldsOnlyWhatCameAfterThePreviousOne)
{
    router.pageReady = true;
    pumpMessagesFor (100);
    EXPECT_TRUE (router.sent.empty()); // ready, but nothing to say

    tree.getChild (0).setProperty (counter, 1, nullptr);
    ASSERT_TRUE (waitForBatches (1));
    pumpMessagesFor (100);
    ASSERT_EQ (batches().size(), 1u); // quiet ticks send nothing

    tree.getChild (0).setProperty ("text", "two", nullptr);
    tree.appendChild (juce::ValueTree ("PARAM"), nullptr);
    ASSERT_TRUE (waitForBatches (2));
    pumpMessagesFor (50);

    ASSERT_EQ (batches().size(), 2u);
    EXPECT_EQ (blobsIn (batches()[0]), 1u);
    ASSERT_EQ (blobsIn (batches()[1]), 2u);
    EXPECT_EQ (changeKind (batches()[1].data["changes"][0]), 1); // property set
    EXPECT_EQ (changeKind (batches()[1].data["changes"][1]), 3); // child added

    applyChanges (replica, batches()[0].data);
    applyChanges (replica, batches()[1].data);
    EXPECT_TRUE (replica.isEquivalentTo (tree));
}

TEST_F (Mirror, ChangesFromAnotherThreadArriveOnceEachAndInOrder)
{
    router.pageReady = true;
    constexpr int changes = 20000;

    // The message thread flushes as fast as it can while the worker changes the tree, as the
    // timer does during a model load, only far more often.
    std::atomic<bool> done { false };
    std::thread worker ([&]
    {
        auto child = tree.getChild (0);
        for (int i = 1; i <= changes; ++i)
            child.setProperty (counter, i, nullptr);
        done = true;
    });

    while (! done)
        mirror.flushUpdates();
    worker.join();
    mirror.flushUpdates();

    int expected = 0;
    for (auto& batch : batches())
        for (auto& change : *batch.data["changes"].getArray())
        {
            const auto block = decodeChange (change);
            ASSERT_TRUE (juce::ValueTreeSynchroniser::applyChange (replica, block.getData(), block.getSize(), nullptr));
            ASSERT_EQ (static_cast<int> (replica.getChild (0)[counter]), ++expected);
        }
    EXPECT_EQ (expected, changes);
}
