#include "WorkerPool.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <thread>
#include <vector>
#include <set>
#include <chrono>
#include <cmath>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A record on the wire: run, status, message length, value count, then the
// message bytes and the values. A run of kStartFailed carries the reason a
// worker could not start.
constexpr uint32_t kStartFailed = UINT32_MAX;

bool WriteAll(int fd, const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = write(fd, bytes, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// False at end of file or on an error before `size` bytes.
bool ReadAll(int fd, void* data, std::size_t size) {
    char* bytes = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t got = read(fd, bytes, size);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        bytes += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

// One write a record, so that the parent wakes up once for it.
bool SendRecord(int fd, const RunRecord& record, std::string& buffer) {
    const uint32_t header[4] = {record.run, static_cast<uint32_t>(record.status),
                                static_cast<uint32_t>(record.message.size()),
                                static_cast<uint32_t>(record.values.size())};
    buffer.clear();
    buffer.append(reinterpret_cast<const char*>(header), sizeof header);
    buffer.append(record.message);
    buffer.append(reinterpret_cast<const char*>(record.values.data()), record.values.size() * sizeof(double));
    return WriteAll(fd, buffer.data(), buffer.size());
}

// The records from one worker, taken from its pipe as they come: a read
// takes whatever is there, and every complete record in it is handed on.
class RecordReader {
public:
    // False at end of file or on an error; `got` then holds what came before.
    bool Fill(int fd) {
        if (buffer_.size() - end_ < 65536) {
            // Unread bytes to the front, then room for a pipe's worth more.
            buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(begin_));
            end_ -= begin_;
            begin_ = 0;
            buffer_.resize(std::max(buffer_.size(), end_ + 65536));
        }
        while (true) {
            const ssize_t got = read(fd, buffer_.data() + end_, buffer_.size() - end_);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            end_ += static_cast<std::size_t>(got);
            return true;
        }
    }
    // The next complete record, if the bytes read hold one.
    bool Next(RunRecord& record) {
        uint32_t header[4];
        if (end_ - begin_ < sizeof header) return false;
        std::memcpy(header, buffer_.data() + begin_, sizeof header);
        const std::size_t size = sizeof header + header[2] + std::size_t{header[3]} * sizeof(double);
        if (end_ - begin_ < size) {
            if (buffer_.size() < begin_ + size) buffer_.resize(begin_ + size);  // a record larger than a read
            return false;
        }
        const char* bytes = buffer_.data() + begin_ + sizeof header;
        record.run = header[0];
        record.status = static_cast<RunStatus>(header[1]);
        record.message.assign(bytes, header[2]);
        record.values.resize(header[3]);
        if (header[3] > 0) std::memcpy(record.values.data(), bytes + header[2], header[3] * sizeof(double));
        begin_ += size;
        return true;
    }

private:
    std::vector<char> buffer_;
    std::size_t begin_ = 0, end_ = 0;
};

using Clock = std::chrono::steady_clock;

// Runs are sent to a worker ahead of the one it is running, so that it
// starts its next run without waiting for the parent to take the last
// record. When runs are short, the parent takes their records a few at a
// time: it pauses up to kPause between rounds (each wake-up costs both sides
// processor time), and sends enough runs ahead to last the pause, at most
// kMaxRunsAhead and as many records as fit well in a pipe (kPipeBytes).
constexpr std::chrono::microseconds kPause{1000};
constexpr std::size_t kMaxRunsAhead = 16;
constexpr std::size_t kPipeBytes = 32768;

struct Worker {
    pid_t pid = -1;
    int commands = -1;  // parent -> worker: run indices
    int records = -1;  // worker -> parent
    std::deque<uint32_t> runs;  // sent and not yet recorded; the first is running
    Clock::time_point started{};  // of the first of `runs`
    RecordReader reader;
    bool Busy() const { return !runs.empty(); }
};

[[noreturn]] void WorkerMain(WorkerTask& task, int commands, int records) {
    std::string error, buffer;
    if (!task.Start(error)) {
        RunRecord failure;
        failure.run = kStartFailed;
        failure.message = error;
        SendRecord(records, failure, buffer);
        _exit(1);
    }
    uint32_t run = 0;
    while (ReadAll(commands, &run, sizeof run))
        if (!SendRecord(records, task.Run(run), buffer)) break;
    // Leave without the parent's exit handlers and buffered output.
    _exit(0);
}

class Pool {
public:
    explicit Pool(WorkerTask& task) : task_(task) {}
    ~Pool() {
        for (Worker& w : workers_) Retire(w, true);
    }

    bool Spawn(Worker& worker, std::string& error) {
        int down[2], up[2];
        if (pipe(down) != 0) {
            error = std::string("cannot create a pipe: ") + std::strerror(errno);
            return false;
        }
        if (pipe(up) != 0) {
            error = std::string("cannot create a pipe: ") + std::strerror(errno);
            close(down[0]);
            close(down[1]);
            return false;
        }
        const pid_t parent = getpid();
        const pid_t pid = fork();
        if (pid < 0) {
            error = std::string("cannot start a worker process: ") + std::strerror(errno);
            for (int fd : {down[0], down[1], up[0], up[1]}) close(fd);
            return false;
        }
        if (pid == 0) {
            // A worker dies with its parent (killed, interrupted), also when the
            // parent went before the request took hold.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(1);
            // Only its own pipe ends, so that a worker's end of file reaches the parent.
            for (const Worker& other : workers_)
                for (int fd : {other.commands, other.records})
                    if (fd >= 0) close(fd);
            close(down[1]);
            close(up[0]);
            WorkerMain(task_, down[0], up[1]);
        }
        close(down[0]);
        close(up[1]);
        worker = Worker{};
        worker.pid = pid;
        worker.commands = down[1];
        worker.records = up[0];
        return true;
    }

    // Closes the pipes and reaps the process; `kill` first when it is not done.
    std::string Retire(Worker& worker, bool kill) {
        if (worker.pid < 0) return "";
        if (worker.commands >= 0) close(worker.commands);
        if (kill) ::kill(worker.pid, SIGKILL);
        int status = 0;
        while (waitpid(worker.pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (worker.records >= 0) close(worker.records);
        worker = Worker{};
        if (WIFSIGNALED(status)) return std::string("signal ") + strsignal(WTERMSIG(status));
        return "exit status " + std::to_string(WEXITSTATUS(status));
    }

    std::vector<Worker> workers_;

private:
    WorkerTask& task_;
};

}  // namespace

bool RunInWorkers(const std::vector<uint32_t>& runs, unsigned jobs, WorkerTask& task,
                  const std::function<void(RunRecord&&)>& onRecord, std::string& error, double runTimeout,
                  std::size_t waitingBytes) {
    if (runs.empty()) return true;
    // A worker that dies must not take the parent with it on the next write.
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
    struct RestorePipeSignal {
        struct sigaction* saved;
        ~RestorePipeSignal() { sigaction(SIGPIPE, saved, nullptr); }
    } restore{&previous};

    std::deque<uint32_t> pending(runs.begin(), runs.end());
    std::set<uint32_t> retried;  // runs whose worker died once already
    std::set<uint32_t> unrecorded;  // sent (or given back to be sent again) and not yet recorded
    Pool pool(task);
    pool.workers_.resize(std::max(1u, std::min<unsigned>(jobs, static_cast<unsigned>(runs.size()))));
    for (Worker& w : pool.workers_)
        if (!pool.Spawn(w, error)) return false;

    // Sends runs until the worker has its run and `ahead` more, or no more
    // than its share of the runs left, so that the workers finish together
    // (two runs for two workers go one to each); or tells an idle worker
    // there is no more.
    std::size_t ahead = 1;
    std::size_t recorded = 0, recordBytes = 0;  // records taken from the workers, their size
    // How far past the earliest run not yet recorded a run may be sent: the
    // records in between wait for it in the caller.
    const auto window = [&]() -> std::size_t {
        constexpr std::size_t kLeast = 1024, kRecordOverhead = 128;
        const std::size_t bytes = recorded == 0 ? kRecordOverhead : recordBytes / recorded + kRecordOverhead;
        return std::max(kLeast, waitingBytes / bytes);
    };
    const auto dispatch = [&](Worker& w) {
        const std::size_t share = std::max<std::size_t>(1, pending.size() / std::max<std::size_t>(1, pool.workers_.size()));
        while (!pending.empty() && w.commands >= 0 && w.runs.size() < std::min(ahead + 1, share)) {
            const uint32_t run = pending.front();
            // A run given back by a worker that died went out before and is not held back again.
            if (!unrecorded.empty() && run > *unrecorded.begin() && run - *unrecorded.begin() >= window() &&
                !unrecorded.contains(run))
                break;
            if (!WriteAll(w.commands, &run, sizeof run)) break;  // it died: its end of file comes
            pending.pop_front();
            unrecorded.insert(run);
            if (w.runs.empty()) w.started = Clock::now();
            w.runs.push_back(run);
        }
        if (pending.empty() && w.runs.empty() && w.commands >= 0) {
            close(w.commands);
            w.commands = -1;
        }
    };
    // A worker that is gone leaves its runs after the first to the others.
    const auto giveBack = [&](Worker& w) {
        while (w.runs.size() > 1) {
            pending.push_front(w.runs.back());
            w.runs.pop_back();
        }
    };
    for (Worker& w : pool.workers_) dispatch(w);

    std::size_t outstanding = runs.size();
    std::vector<pollfd> polls;
    const Clock::time_point begun = Clock::now();
    while (outstanding > 0) {
        polls.clear();
        for (const Worker& w : pool.workers_) polls.push_back({w.records, POLLIN, 0});
        // With a run time limit, wake up when the oldest run reaches it.
        int wait = -1;
        if (runTimeout > 0.0) {
            const auto now = Clock::now();
            for (const Worker& w : pool.workers_) {
                if (!w.Busy()) continue;
                const double left = runTimeout - std::chrono::duration<double>(now - w.started).count();
                const int ms = left <= 0.0 ? 0 : static_cast<int>(std::min(std::ceil(left * 1000.0), 3.6e6));
                wait = wait < 0 ? ms : std::min(wait, ms);
            }
        }
        if (poll(polls.data(), polls.size(), wait) < 0) {
            if (errno == EINTR) continue;
            error = std::string("waiting for the workers failed: ") + std::strerror(errno);
            return false;
        }
        for (std::size_t i = 0; i < polls.size(); ++i) {
            Worker& late = pool.workers_[i];
            if (runTimeout > 0.0 && late.Busy() && polls[i].revents == 0 &&
                std::chrono::duration<double>(Clock::now() - late.started).count() >= runTimeout) {
                // Over its time: the worker is killed and replaced.
                RunRecord timedOut;
                timedOut.run = late.runs.front();
                timedOut.status = RunStatus::Timeout;
                char text[96];
                std::snprintf(text, sizeof text, "the run took longer than %g s (--run-timeout)", runTimeout);
                timedOut.message = text;
                giveBack(late);
                pool.Retire(late, true);
                --outstanding;
                unrecorded.erase(timedOut.run);
                onRecord(std::move(timedOut));
                if (!pending.empty()) {
                    if (!pool.Spawn(late, error)) return false;
                    dispatch(late);
                }
                continue;
            }
            if (polls[i].revents == 0 || polls[i].fd < 0) continue;
            Worker& w = pool.workers_[i];
            const bool open = w.reader.Fill(w.records);
            RunRecord record;
            bool failed = false;
            while (w.reader.Next(record)) {
                if (record.run == kStartFailed) {
                    error = "a worker could not start: " + record.message;
                    return false;
                }
                if (w.runs.empty() || w.runs.front() != record.run) {
                    failed = true;  // not the run it was sent: taken as a worker gone wrong
                    break;
                }
                w.runs.pop_front();
                w.started = Clock::now();
                --outstanding;
                unrecorded.erase(record.run);
                ++recorded;
                recordBytes += record.message.size() + record.values.size() * sizeof(double);
                // The worker goes on with its next run while this one is recorded.
                dispatch(w);
                onRecord(std::move(record));
            }
            if (open && !failed) continue;
            const bool wasBusy = w.Busy();
            giveBack(w);
            const uint32_t lost = wasBusy ? w.runs.front() : 0;
            w.runs.clear();
            const std::string how = pool.Retire(w, failed);
            if (wasBusy && retried.insert(lost).second) {
                // The machine, not the model, may have ended it: once more.
                pending.push_front(lost);
            } else if (wasBusy) {
                RunRecord failedRun;
                failedRun.run = lost;
                failedRun.status = RunStatus::Lost;
                failedRun.message = "the worker process running it ended twice (" + how + ")";
                --outstanding;
                unrecorded.erase(lost);
                onRecord(std::move(failedRun));
            }
            if (!pending.empty()) {
                if (!pool.Spawn(w, error)) return false;
                dispatch(w);
            }
        }
        // Workers left idle by the window take runs again once it has moved.
        for (Worker& w : pool.workers_)
            if (w.pid >= 0 && !w.Busy()) dispatch(w);
        // Workers that are done and told so leave the poll set.
        std::erase_if(pool.workers_, [&](Worker& w) {
            if (w.pid >= 0 && (w.Busy() || w.commands >= 0)) return false;
            pool.Retire(w, false);
            return true;
        });
        if (outstanding > 0 && pool.workers_.empty()) {
            error = "no worker process is left to run the remaining runs";
            return false;
        }
        // A pause while every worker has a run waiting and runs are short;
        // none at the end, where it would only be waited for.
        if (pending.empty() || recorded < 2 * pool.workers_.size()) continue;
        const double runSeconds = std::chrono::duration<double>(Clock::now() - begun).count() *
                                  static_cast<double>(pool.workers_.size()) / static_cast<double>(recorded);
        const double pause = std::chrono::duration<double>(kPause).count();
        const double bytes = static_cast<double>(recordBytes) / static_cast<double>(recorded) + 16.0;
        const double fit = std::min(static_cast<double>(kMaxRunsAhead), static_cast<double>(kPipeBytes) / bytes);
        if (runSeconds >= pause || pause / runSeconds + 1.0 > fit) {
            ahead = 1;
            continue;
        }
        ahead = static_cast<std::size_t>(std::ceil(pause / runSeconds)) + 1;
        if (std::all_of(pool.workers_.begin(), pool.workers_.end(), [](const Worker& w) { return w.runs.size() > 1; }))
            std::this_thread::sleep_for(kPause);
    }
    return true;
}
