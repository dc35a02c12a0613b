// Every stiff method on the example scenario against the reference
// trajectory (a tight-tolerance solution, see ExampleScenarioReference.cpp):
// at tight tolerances within 1e-6, at the default tolerances within the
// bound those tolerances allow.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "ExampleScenario.h"

namespace {

struct Case {
    int32_t algorithm;
    double relative, absolute;  // 0: the defaults
    double bound, floor;        // of the comparison
};

// The trajectory without the mass balances: differences of amounts near 1e5,
// whose error at the default tolerances is that of the amounts, not of 1e-3.
Trajectory WithoutBalances(const Trajectory& full) {
    std::vector<std::size_t> kept;
    std::vector<std::string> names;
    for (std::size_t k = 0; k < full.Names().size(); ++k) {
        if (full.Names()[k].rfind("massb_", 0) == 0) continue;
        kept.push_back(k);
        names.push_back(full.Names()[k]);
    }
    Trajectory out(names);
    for (const auto& row : full.Rows()) {
        std::vector<double> values;
        for (std::size_t k : kept) values.push_back(row[k]);
        out.AddRow(std::move(values));
    }
    return out;
}

class ReferenceTrajectory : public ::testing::TestWithParam<Case> {};

TEST_P(ReferenceTrajectory, StiffMethodAgrees) {
    const Case c = GetParam();
    std::string error;
    const Trajectory reference = Trajectory::ReadCsv(ORVO_REFERENCE_TRAJECTORY, &error);
    ASSERT_TRUE(error.empty()) << error;
    const bool tight = c.relative > 0;
    std::string messages;
    // Calls every 0.24 h keep DLSODES within its 500 steps per call at tight tolerances.
    const Trajectory run = RunExampleScenario(c.algorithm, c.relative, c.absolute, &messages, tight ? 100 : 10);
    ASSERT_EQ(run.Rows().size(), reference.Rows().size()) << messages;
    const TrajectoryComparison comparison =
        tight ? Trajectory::Compare(reference, run, c.bound, c.floor)
              : Trajectory::Compare(WithoutBalances(reference), run, c.bound, c.floor);
    EXPECT_TRUE(comparison.Agrees()) << comparison.problem << comparison.worstAt << "\n" << messages;
    std::printf("ialg %2d at %g relative: largest relative difference %.3g (%s), %.3g of the bound\n", c.algorithm,
                c.relative, comparison.worstRelative, comparison.worstAt.c_str(), comparison.worstRatio);
}

// Tight: 1e-9 relative, 1e-12 absolute, within 1e-6 relative + 1e-6 (the
// mass balances, differences of amounts near 1e5, are roundoff below that).
// Default (1e-4 relative and absolute): within 1e-3 relative + 1e-3, ten times
// the tolerances for the error built up over a run, balances left out.
INSTANTIATE_TEST_SUITE_P(
    Stiff, ReferenceTrajectory,
    ::testing::Values(Case{2, 1e-9, 1e-12, 1e-6, 1e-6}, Case{12, 1e-9, 1e-12, 1e-6, 1e-6},
                      Case{14, 1e-9, 1e-12, 1e-6, 1e-6}, Case{15, 1e-9, 1e-12, 1e-6, 1e-6},
                      Case{2, 0, 0, 1e-3, 1e-3}, Case{12, 0, 0, 1e-3, 1e-3}, Case{14, 0, 0, 1e-3, 1e-3},
                      Case{15, 0, 0, 1e-3, 1e-3}),
    [](const ::testing::TestParamInfo<Case>& info) {
        return "ialg" + std::to_string(info.param.algorithm) + (info.param.relative > 0 ? "_tight" : "_default");
    });

}  // namespace
