// A model without debugging information: the debugger refuses it, and a
// floating-point exception is noted without a message.

#include "ExecutionRecorder.h"

namespace execution_test {
namespace {

using States = std::vector<int32_t>;

class PlainModel : public ExecutionFixture {};

TEST_F(PlainModel, DebugStartReportsMissingDebugInformationAndRunsNothing) {
    OrvoDebugStart(instance);
    EXPECT_EQ(recorder().Messages(),
              std::vector<std::string>{
                  "Debug error: model does not contain debugging information."});
    EXPECT_TRUE(recorder().States().empty());
    EXPECT_EQ(model().initialSections, 0u);
    // A normal start still works afterwards.
    OrvoStartBlocking(instance);
    EXPECT_EQ(recorder().States(), (States{1, 3, 5}));
}

TEST_F(PlainModel, FloatingPointExceptionIsSilent) {
    model().onPass = [](uint32_t) { DivideByZeroAt(42, "dynamic"); };
    OrvoStartBlocking(instance);
    EXPECT_EQ(recorder().States(), (States{1, 3, 5}));
    EXPECT_TRUE(recorder().Messages().empty());
}

}  // namespace
}  // namespace execution_test
