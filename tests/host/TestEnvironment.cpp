// Registers the test actions once for every host test.
#include "TestActions.h"

#include <gtest/gtest.h>

namespace {
class TTestActionsEnvironment : public ::testing::Environment {
public:
    void SetUp() override { quillate::testing::RegisterTestActions(); }
};
const auto* const Registered = ::testing::AddGlobalTestEnvironment(new TTestActionsEnvironment);
} // namespace
