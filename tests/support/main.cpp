#include "tests/support/test_support.h"

#include <gtest/gtest.h>

namespace {

// Every test starts from a freshly started process and an empty virtual host.
class ResetEachTest : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override { qdp::test::ResetProcess(); }
};

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new ResetEachTest);
    return RUN_ALL_TESTS();
}
