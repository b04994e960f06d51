#include "TestSupport.h"

#include <gtest/gtest.h>

TEST (Smoke, ProcessorConstructsAndLoadsAModel)
{
    CalbrixAudioProcessor processor;
    calbrix_test::prepare (processor, 48000.0, 512);
    ASSERT_TRUE (calbrix_test::loadFixture (processor, "identity.pt"));
    EXPECT_TRUE (processor.model->loaded.load());
}
