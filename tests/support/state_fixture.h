// Base fixture for tests of the process-wide state: reset before and after, seams restored after.
#pragma once

#include <gtest/gtest.h>

#include "base/seams.h"
#include "app/watcher_state.h"

class StateTest : public ::testing::Test {
protected:
    void SetUp() override { State().Reset(); }
    void TearDown() override { State().Reset(); }

private:
    SeamsGuard seamsGuard;
};
