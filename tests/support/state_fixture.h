#pragma once
// Base fixture for tests that touch the process-wide state: the state is reset
// before and after each case, and the seam table is restored afterwards.

#include <gtest/gtest.h>

#include "app/seams.h"
#include "app/watcher_state.h"

class StateTest : public ::testing::Test {
protected:
    void SetUp() override { State().Reset(); }
    void TearDown() override { State().Reset(); }

private:
    SeamsGuard seamsGuard;
};
