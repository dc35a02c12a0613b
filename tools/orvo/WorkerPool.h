#pragma once

// Runs a population across worker processes. All instances in one process
// share the model's storage, so a process runs one model run at a time; the
// workers are forked processes, each loading its own copy of the library.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "RunRecord.h"

// What a worker process does: Start once (load the library, create the
// instance), then Run for each run index it is sent.
class WorkerTask {
public:
    virtual ~WorkerTask() = default;
    virtual bool Start(std::string& error) = 0;
    virtual RunRecord Run(uint32_t run) = 0;
};

// Runs `runs` over `jobs` workers and hands each record to `onRecord` in the
// parent as it arrives (any order). A worker that dies (killed by the system,
// out of memory) is replaced and its run tried once more in the new worker;
// a run whose worker dies twice is recorded as lost. A worker whose run
// takes longer than `runTimeout` seconds (0: no limit), killed and recorded
// as a timeout. Workers die with the parent process. False with `error` set
// when a worker cannot start or the processes cannot be made.
// The caller puts the records back in run order (`runs` ascending), holding
// those that come before an earlier run's: no run is sent while the records
// of the runs between it and the earliest run not yet recorded would take
// more than about `waitingBytes`, so that one slow run does not have all the
// others' records pile up behind it.
bool RunInWorkers(const std::vector<uint32_t>& runs, unsigned jobs, WorkerTask& task,
                  const std::function<void(RunRecord&&)>& onRecord, std::string& error, double runTimeout = 0.0,
                  std::size_t waitingBytes = std::size_t{32} << 20);
