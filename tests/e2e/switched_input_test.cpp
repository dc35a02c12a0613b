// Inputs that switch the model's right-hand side while its states stand
// still: a dose switched on by the model's own event, and a constant written
// by the host between steps. Methods that keep a history must not carry it
// past either.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "HostSession.h"

namespace {

// Perchlorate alone, switched on at t = 500 h, reported every 10 h to 1000 h.
Trajectory LatePerchlorateDose(int32_t algorithm, std::string* messages) {
    HostSession session;
    session.Set("pdoseug_i", 0);
    session.Set("pdosemg_p", 0.007);
    session.Set("doseon", 500);
    session.Set("cint", 10);
    session.Set("tstop", 1000);
    session.SetAlgorithm(algorithm);
    session.SampleAtOutputPoints({"aioral_p", "aplasma_mp", "aelim_mp", "athyt_mp", "aplasma_fp"});
    session.Library().OrvoStartBlocking(session.Instance());
    *messages = session.Messages();
    return session.Samples();
}

TEST(SwitchedInput, LateDoseIsTakenUpByEveryStiffMethod) {
    // 0.007 mg/kg/day of a 72.3 kg mother is 2.9328 ug/h (the mother's body
    // weight is fixed in the model), dosed for 500 h.
    const double dosed = 2.9328 * 72.3 * 500;
    std::string messages;
    const Trajectory gear = LatePerchlorateDose(2, &messages);
    ASSERT_FALSE(gear.Rows().empty());
    ASSERT_EQ(gear.Last("t"), 1000) << messages;
    for (int32_t algorithm : {2, 12, 14, 15}) {
        SCOPED_TRACE(testing::Message() << "ialg " << algorithm);
        const Trajectory run = algorithm == 2 ? gear : LatePerchlorateDose(algorithm, &messages);
        ASSERT_EQ(run.Rows().size(), gear.Rows().size()) << messages;
        const std::size_t dose = run.Column("aioral_p");
        for (const auto& row : run.Rows()) {
            const double t = row[0];
            EXPECT_NEAR(row[dose], t <= 500 ? 0.0 : 2.9328 * 72.3 * (t - 500), 1e-4 * dosed) << "t = " << t;
        }
        EXPECT_GT(run.Last("aelim_mp"), 0.5 * dosed);
        // The default tolerances (1e-4 relative) allow differences of a few 1e-4
        // along the run; amounts below 1e-3 ug are noise.
        const TrajectoryComparison comparison = Trajectory::Compare(gear, run, 2e-3, 1e-3);
        EXPECT_TRUE(comparison.Agrees()) << comparison.problem << comparison.worstAt;
        std::printf("ialg %2d: aioral_p(1000) = %.6f (expected %.6f), largest relative difference from Gear %.3g (%s)\n",
                    algorithm, run.Last("aioral_p"), dosed, comparison.worstRelative, comparison.worstAt.c_str());
    }
}

// Every method, stepped over short intervals: pdose (the dose switch) written
// by the host between two steps is seen by the very next one, whose dosed
// amount is the new rate over the interval.
TEST(SwitchedInput, HostWriteBetweenStepsIsSeenByTheNextStep) {
    constexpr double kInterval = 0.1;  // h; the explicit methods step at 1e-4 h
    for (int32_t algorithm : {1, 2, 3, 4, 5, 8, 9, 12, 13, 14, 15}) {
        SCOPED_TRACE(testing::Message() << "ialg " << algorithm);
        HostSession session;
        session.Set("pdoseug_i", 0);
        session.Set("pdosemg_p", 0.007);
        session.Set("doseon", 1e6);  // never switched on by the model
        session.Set("cint", kInterval);
        session.Set("tstop", 1e3);
        session.SetLong("nstp", 1000);
        session.SetAlgorithm(algorithm);
        const ModelLibrary& lib = session.Library();
        const uint32_t instance = session.Instance();
        lib.OrvoPreStep(instance);
        lib.OrvoStep(instance);
        lib.OrvoStep(instance);
        ASSERT_NEAR(session.Get("t"), 2 * kInterval, 1e-12) << session.Messages();
        EXPECT_EQ(session.Get("aioral_p"), 0.0);
        session.Set("pdose", 1);
        lib.OrvoStep(instance);
        ASSERT_NEAR(session.Get("t"), 3 * kInterval, 1e-12) << session.Messages();
        const double rate = session.Get("raioral_p");
        ASSERT_GT(rate, 0.0);
        EXPECT_NEAR(session.Get("aioral_p"), rate * kInterval, 1e-3 * rate * kInterval);
    }
}

}  // namespace
