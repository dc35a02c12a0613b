#include "WorkerPool.h"

#include <gtest/gtest.h>

#include <csignal>
#include <set>
#include <unistd.h>

namespace {

// Squares the run index; dies on the runs it is told to.
class SquareTask : public WorkerTask {
public:
    SquareTask(uint32_t fatalRun, bool startFails) : fatalRun_(fatalRun), startFails_(startFails) {}
    bool Start(std::string& error) override {
        if (startFails_) error = "no library here";
        return !startFails_;
    }
    RunRecord Run(uint32_t run) override {
        if (run == fatalRun_) raise(SIGKILL);
        RunRecord record;
        record.run = run;
        record.values = {static_cast<double>(run) * run, static_cast<double>(getpid())};
        if (run % 5 == 0) {
            record.status = RunStatus::Stopped;
            record.message = "run " + std::to_string(run);
        }
        return record;
    }

private:
    uint32_t fatalRun_;
    bool startFails_;
};

TEST(WorkerPool, EveryRunComesBackOnceAndADeadWorkerCostsOnlyItsRun) {
    std::vector<uint32_t> runs;
    for (uint32_t k = 10; k < 40; ++k) runs.push_back(k);
    SquareTask task(17, false);
    std::vector<int> seen(40, 0);
    std::set<double> processes;
    std::string error;
    ASSERT_TRUE(RunInWorkers(
        runs, 3, task,
        [&](RunRecord&& r) {
            ASSERT_LT(r.run, 40u);
            ++seen[r.run];
            if (r.run == 17) {
                EXPECT_EQ(r.status, RunStatus::Error);
                EXPECT_NE(r.message.find("ended"), std::string::npos) << r.message;
                return;
            }
            ASSERT_EQ(r.values.size(), 2u);
            EXPECT_EQ(r.values[0], double(r.run) * r.run);
            EXPECT_NE(r.values[1], double(getpid()));  // run in another process
            processes.insert(r.values[1]);
            EXPECT_EQ(r.status, r.run % 5 == 0 ? RunStatus::Stopped : RunStatus::Ok);
            EXPECT_EQ(r.message, r.run % 5 == 0 ? "run " + std::to_string(r.run) : std::string());
        },
        error))
        << error;
    for (uint32_t k = 0; k < 40; ++k) EXPECT_EQ(seen[k], k >= 10 ? 1 : 0) << k;
    EXPECT_GE(processes.size(), 2u);
}

TEST(WorkerPool, AWorkerThatCannotStartStopsThePool) {
    SquareTask task(UINT32_MAX, true);
    std::string error;
    EXPECT_FALSE(RunInWorkers(
        {1, 2, 3}, 2, task, [](RunRecord&&) {}, error));
    EXPECT_NE(error.find("no library here"), std::string::npos) << error;
}

}  // namespace
