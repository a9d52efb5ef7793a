// Every test of this program runs with the deletion sandbox armed on the temporary folder:
// a deletion anywhere else ends the program.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "qn_test_hooks.h"

namespace {

class DeletionSandboxEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        const char* csz = std::getenv("TMPDIR");
        std::string strBase = csz && csz[0] == '/' ? csz : "/tmp";
        qn::testing::SetDeletionSandbox(strBase.c_str());
    }
    void TearDown() override { qn::testing::SetDeletionSandbox(nullptr); }
};

[[maybe_unused]] ::testing::Environment* const g_pEnvironment =
    ::testing::AddGlobalTestEnvironment(new DeletionSandboxEnvironment);

}  // namespace
