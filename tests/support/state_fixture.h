// Base fixture for tests of the process-wide state: reset before and after, every seam restored
// after.
#pragma once

#include <gtest/gtest.h>

#include "app/seam_table.h"
#include "base/watcher_state.h"

class StateTest : public ::testing::Test {
protected:
    void SetUp() override { State().Reset(); }
    void TearDown() override { State().Reset(); }

private:
    SeamTableGuard seams;
};
