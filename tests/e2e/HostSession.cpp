#include "HostSession.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The callbacks carry only a 32-bit user data value: they find the session
// through this pointer (one session at a time per process).
HostSession* activeSession = nullptr;

struct StoredValue {
    uint32_t variable;
    uint32_t dataType;
    OrvoSymbolValue value;
    uint32_t dims[6];
};

// Every scalar variable as the first session found it, before any change.
std::vector<StoredValue>& FirstLoadValues() {
    static std::vector<StoredValue> values;
    return values;
}

constexpr uint32_t kFirstState = 2;
constexpr uint32_t kStateCount = 42;

}  // namespace

HostSession::HostSession() : library_(ModelLibrary::Get()) {
    if (activeSession != nullptr) {
        std::fprintf(stderr, "HostSession: only one session at a time\n");
        std::abort();
    }
    library_.OrvoInitialize();
    instance_ = library_.OrvoCreate();
    if (instance_ == 0) {
        std::fprintf(stderr, "HostSession: OrvoCreate returned 0\n");
        std::abort();
    }
    RestoreFirstLoadValues();
    activeSession = this;
    library_.OrvoAddStatusCallback(instance_, 1, OnStatus);
    library_.OrvoAddTickCallbackFunction(instance_, 1, OnTick);
    library_.OrvoAddExecutionStateChangeCallbackFunction(instance_, 1, OnExecutionState);
}

HostSession::~HostSession() {
    library_.OrvoFinalize();
    activeSession = nullptr;
}

void HostSession::RestoreFirstLoadValues() {
    std::vector<StoredValue>& stored = FirstLoadValues();
    if (stored.empty()) {
        const uint32_t count = library_.OrvoGetNumberSymbols();
        for (uint32_t variable = 1; variable <= count; ++variable) {
            StoredValue entry{variable, 0, {}, {}};
            std::memset(&entry.value, 0, sizeof entry.value);
            if (!library_.OrvoGetSymbolValue(instance_, variable, &entry.dataType, &entry.value, entry.dims)) continue;
            // Arrays come back as addresses; the tables are never changed here.
            if (entry.dims[0] != 0 || entry.dataType == OrvoDataTypeString) continue;
            // The instance's own number is written by instance creation.
            if (std::strcmp(library_.OrvoGetSymbolName(variable), "zzinstidx") == 0) continue;
            stored.push_back(entry);
        }
        return;
    }
    for (const StoredValue& entry : stored)
        library_.OrvoSetSymbolValue(instance_, entry.variable, entry.dataType, entry.value, entry.dims);
}

double HostSession::Get(const char* name) const { return library_.OrvoGetDouble(instance_, library_.Index(name)); }

void HostSession::Set(const char* name, double value) {
    library_.OrvoSetDouble(instance_, library_.Index(name), value);
}

int32_t HostSession::GetLong(const char* name) const { return library_.OrvoGetLong(instance_, library_.Index(name)); }

void HostSession::SetLong(const char* name, int32_t value) {
    library_.OrvoSetLong(instance_, library_.Index(name), value);
}

void HostSession::SetExampleScenario(double stopTime) {
    Set("pdoseug_i", 200);
    Set("pdosemg_p", 0.007);
    Set("doseon", 0);
    Set("cint", 24);
    Set("tstop", stopTime);
}

void HostSession::SetStateTolerances(double relative, double absolute) {
    for (uint32_t k = 0; k < kStateCount; ++k) {
        library_.OrvoSetRelativeError(instance_, kFirstState + k, relative);
        library_.OrvoSetAbsoluteError(instance_, kFirstState + k, absolute);
    }
}

std::vector<std::string> HostSession::StateNames() const {
    std::vector<std::string> names;
    for (uint32_t k = 0; k < kStateCount; ++k) names.emplace_back(library_.OrvoGetSymbolName(kFirstState + k));
    return names;
}

void HostSession::SampleAtOutputPoints(const std::vector<std::string>& names) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> columns{"t"};
    sampled_.assign(1, library_.Index("t"));
    for (const std::string& name : names) {
        columns.push_back(name);
        sampled_.push_back(library_.Index(name.c_str()));
    }
    samples_ = Trajectory(columns);
}

Trajectory HostSession::Samples() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return samples_;
}

std::vector<int> HostSession::ExecutionStates() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return states_;
}

std::string HostSession::Messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

std::size_t HostSession::OutputPoints() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return samples_.Rows().size();
}

bool HostSession::WaitForExecutionState(OrvoExecutionState state, std::chrono::seconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        for (int s : states_)
            if (s == state) return true;
        return false;
    });
}

bool HostSession::WaitForOutputPoints(std::size_t count, std::chrono::seconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return samples_.Rows().size() >= count; });
}

void HostSession::OnStatus(uint32_t, uint32_t, const char* text) {
    HostSession* session = activeSession;
    if (session == nullptr) return;
    std::lock_guard<std::mutex> lock(session->mutex_);
    session->messages_ += text;
    if (!session->messages_.empty() && session->messages_.back() != '\n') session->messages_ += '\n';
}

void HostSession::OnTick(uint32_t instance, uint32_t, OrvoTickType tick) {
    HostSession* session = activeSession;
    if (session == nullptr || tick != OrvoTickOutputPoint) return;
    std::lock_guard<std::mutex> lock(session->mutex_);
    std::vector<double> row;
    if (session->sampled_.empty()) session->sampled_.assign(1, session->library_.Index("t"));
    if (session->samples_.Names().empty()) session->samples_ = Trajectory({"t"});
    for (uint32_t variable : session->sampled_) row.push_back(session->library_.OrvoGetDouble(instance, variable));
    session->samples_.AddRow(std::move(row));
    session->changed_.notify_all();
}

void HostSession::OnExecutionState(uint32_t, uint32_t, OrvoExecutionState, OrvoExecutionState newState) {
    HostSession* session = activeSession;
    if (session == nullptr) return;
    std::lock_guard<std::mutex> lock(session->mutex_);
    session->states_.push_back(newState);
    session->changed_.notify_all();
}
