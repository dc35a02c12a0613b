#include "WorkerPool.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <sys/wait.h>
#include <set>
#include <unistd.h>

namespace {

// Squares the run index; dies on the runs it is told to.
class SquareTask : public WorkerTask {
public:
    SquareTask(uint32_t fatalRun, bool startFails, useconds_t runTime = 0)
        : fatalRun_(fatalRun), startFails_(startFails), runTime_(runTime) {}
    bool Start(std::string& error) override {
        if (startFails_) error = "no library here";
        return !startFails_;
    }
    RunRecord Run(uint32_t run) override {
        if (runTime_ > 0) usleep(runTime_);
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
    useconds_t runTime_;
};

// Quick runs, and runs short enough that the pool sends several ahead and
// pauses between taking records: a dead worker's runs sent ahead go to the
// others, and only its own run is tried again.
TEST(WorkerPool, EveryRunComesBackOnceAndADeadWorkerCostsOnlyItsRun) {
    for (const useconds_t runTime : {0u, 200u}) {
        const uint32_t end = runTime ? 120 : 40, fatal = runTime ? 77 : 17;
        std::vector<uint32_t> runs;
        for (uint32_t k = 10; k < end; ++k) runs.push_back(k);
        SquareTask task(fatal, false, runTime);
        std::vector<int> seen(end, 0);
        std::set<double> processes;
        std::string error;
        ASSERT_TRUE(RunInWorkers(
            runs, 3, task,
            [&](RunRecord&& r) {
                ASSERT_LT(r.run, end);
                ++seen[r.run];
                if (r.run == fatal) {  // kills its worker every time: retried once, then lost
                    EXPECT_EQ(r.status, RunStatus::Lost);
                    EXPECT_NE(r.message.find("ended twice"), std::string::npos) << r.message;
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
        for (uint32_t k = 0; k < end; ++k) EXPECT_EQ(seen[k], k >= 10 ? 1 : 0) << k << " " << runTime;
        EXPECT_GE(processes.size(), 2u);
    }
}

// As many runs as workers, each run slow: every worker takes one, none
// waits behind another's.
TEST(WorkerPool, AsManyRunsAsWorkersRunOneInEach) {
    for (const uint32_t jobs : {2u, 4u}) {
        std::vector<uint32_t> runs;
        for (uint32_t k = 0; k < jobs; ++k) runs.push_back(k);
        SquareTask task(UINT32_MAX, false, 20000);
        std::set<double> processes;
        std::string error;
        ASSERT_TRUE(RunInWorkers(runs, jobs, task, [&](RunRecord&& r) { processes.insert(r.values.at(1)); }, error))
            << error;
        EXPECT_EQ(processes.size(), jobs);
    }
}

TEST(WorkerPool, AWorkerThatCannotStartStopsThePool) {
    SquareTask task(UINT32_MAX, true);
    std::string error;
    EXPECT_FALSE(RunInWorkers(
        {1, 2, 3}, 2, task, [](RunRecord&&) {}, error));
    EXPECT_NE(error.find("no library here"), std::string::npos) << error;
}

// Hangs on one run; every other run is quick.
class HangingTask : public WorkerTask {
public:
    bool Start(std::string&) override { return true; }
    RunRecord Run(uint32_t run) override {
        if (run == 3) pause();
        RunRecord record;
        record.run = run;
        return record;
    }
};

TEST(WorkerPool, ARunPastItsTimeLimitIsKilledAndTheRestGoOn) {
    HangingTask task;
    std::vector<RunStatus> status(8, RunStatus::Error);
    std::string error;
    ASSERT_TRUE(RunInWorkers(
        {0, 1, 2, 3, 4, 5, 6, 7}, 2, task, [&](RunRecord&& r) { status[r.run] = r.status; }, error, 0.3))
        << error;
    for (uint32_t k = 0; k < 8; ++k) EXPECT_EQ(status[k], k == 3 ? RunStatus::Timeout : RunStatus::Ok) << k;
    EXPECT_STREQ(RunStatusName(RunStatus::Timeout), "timeout");
}

// Run 0 is slow; every other run is quick.
class SlowFirstRunTask : public WorkerTask {
public:
    bool Start(std::string&) override { return true; }
    RunRecord Run(uint32_t run) override {
        if (run == 0) usleep(1500000);
        RunRecord record;
        record.run = run;
        record.values.assign(16, 1.0);
        return record;
    }
};

// The caller holds the records that come before an earlier run's: while one
// run is slow the others go on only as far as the window, not to the end.
TEST(WorkerPool, ASlowRunHoldsBackOnlyAWindowOfRecords) {
    SlowFirstRunTask task;
    std::vector<uint32_t> runs(6000);
    for (uint32_t k = 0; k < runs.size(); ++k) runs[k] = k;
    std::size_t beforeFirst = 0, total = 0;
    bool firstSeen = false;
    std::string error;
    ASSERT_TRUE(RunInWorkers(
        runs, 2, task,
        [&](RunRecord&& r) {
            ++total;
            if (r.run == 0) firstSeen = true;
            else if (!firstSeen) ++beforeFirst;
        },
        error, 0.0, 0))
        << error;
    EXPECT_EQ(total, runs.size());
    EXPECT_LE(beforeFirst, 1024u + 64u);  // the smallest window, and the runs sent ahead
}

// A worker whose parent is killed goes with it instead of computing on.
TEST(WorkerPool, WorkersDieWithTheirParent) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t parent = fork();
    ASSERT_GE(parent, 0);
    if (parent == 0) {
        HangingTask task;
        std::string error;
        close(ready[0]);
        // Run 3 hangs in a worker; tell the test the pool is up, then wait.
        const pid_t self = getpid();
        if (write(ready[1], &self, sizeof self) != sizeof self) _exit(2);
        RunInWorkers({3}, 1, task, [](RunRecord&&) {}, error);
        _exit(0);
    }
    close(ready[1]);
    pid_t self = 0;
    ASSERT_EQ(read(ready[0], &self, sizeof self), static_cast<ssize_t>(sizeof self));
    // The worker is a child of `parent`: found through /proc once it exists.
    pid_t worker = 0;
    for (int tries = 0; tries < 200 && worker == 0; ++tries) {
        usleep(10000);
        FILE* children = std::fopen(("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) +
                                     "/children").c_str(), "r");
        if (children) {
            if (std::fscanf(children, "%d", &worker) != 1) worker = 0;
            std::fclose(children);
        }
    }
    ASSERT_NE(worker, 0);
    kill(parent, SIGKILL);
    waitpid(parent, nullptr, 0);
    bool gone = false;
    for (int tries = 0; tries < 200 && !gone; ++tries) {
        usleep(10000);
        // Killed: reaped, or a zombie where nothing reaps orphans.
        gone = kill(worker, 0) != 0;
        if (FILE* stat = std::fopen(("/proc/" + std::to_string(worker) + "/stat").c_str(), "r")) {
            char state = 0;
            if (std::fscanf(stat, "%*d %*s %c", &state) == 1 && (state == 'Z' || state == 'X')) gone = true;
            std::fclose(stat);
        }
    }
    EXPECT_TRUE(gone) << "worker " << worker << " outlived its parent";
    if (!gone) kill(worker, SIGKILL);
    close(ready[0]);
}

}  // namespace
