// libFuzzer harness: decodes its input into a sequence of calls of the
// library's exports, the way an unpredictable host would make them: any
// instance and variable number, values, index sets, dimensions and strings,
// callbacks added and removed (some calling back into the library), runs
// started, stopped, stepped, continued and debugged, instances destroyed and
// the library re-initialized. Runs are kept short (stop time at most 0.05 h,
// bounded steps per interval) so that no input can hang.

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "orvo/orvo.h"

namespace {

std::atomic<uint64_t> exportCalls{0};
std::atomic<uint64_t> inputs{0};

// Counts one export call; used as CALL(OrvoX(...)).
template <typename T>
T Counted(T value) {
    ++exportCalls;
    return value;
}
// ORVO_FUZZ_TRACE=1 lists the calls of an input on stderr, for minimising.
const bool kTraceCalls = std::getenv("ORVO_FUZZ_TRACE") != nullptr;
inline void TraceCall(const char* call) {
    if (kTraceCalls) std::fprintf(stderr, "call: %s\n", call);
}
#define CALL(expr) Counted((TraceCall(#expr), (expr), 0))
#define CALLV(expr) Counted((TraceCall(#expr), (expr)))

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return pos_ >= size_; }
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint32_t U32() {
        uint32_t v = 0;
        for (int k = 0; k < 4; ++k) v = v << 8 | Byte();
        return v;
    }
    double Double() {
        // Mostly ordinary magnitudes, sometimes any bit pattern.
        const uint8_t kind = Byte();
        if (kind < 200) return (static_cast<int32_t>(U32()) / 65536.0);
        uint64_t bits = uint64_t{U32()} << 32 | U32();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    std::string String() {
        const size_t length = Byte() % 48;
        std::string s;
        for (size_t k = 0; k < length && !Empty(); ++k) s.push_back(static_cast<char>(Byte()));
        return s;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

uint32_t numSymbols = 0;
// Variables whose values bound a run's length; set only through Bound().
uint32_t cintVar, tstopVar, nstpVar, maxtVar, mintVar, ialgVar, startVar;

// What the callbacks do when they are called (changed by the input).
std::atomic<uint8_t> callbackAction{0};

void ReactInCallback(uint32_t instance) {
    switch (callbackAction.load()) {
        case 1: CALL(OrvoStop(instance)); break;
        case 2: CALLV(OrvoGetDouble(instance, 2)); break;
        case 3: CALL(OrvoDebugBreak(instance)); break;
        case 4: CALL(OrvoDebugContinue(instance)); break;
        case 5: CALL(OrvoDebugStep(instance)); break;
        default: break;
    }
}

void OnStatus(uint32_t instance, uint32_t, const char* text) {
    if (text) (void)std::strlen(text);
    (void)instance;
}
void OnError(uint32_t instance, uint32_t, uint32_t, const char*) { ReactInCallback(instance); }
void OnTick(uint32_t instance, uint32_t, OrvoTickType) { ReactInCallback(instance); }
void OnDiscrete(uint32_t instance, uint32_t, uint32_t) { ReactInCallback(instance); }
void OnWatch(uint32_t instance, uint32_t, uint32_t) { ReactInCallback(instance); }
void OnState(uint32_t instance, uint32_t, OrvoExecutionState, OrvoExecutionState) {
    ReactInCallback(instance);
}

bool IsBoundingVariable(uint32_t v) {
    // The time itself too: a continued run from t = -1e300 would never end.
    return v == 1 || v == cintVar || v == tstopVar || v == nstpVar || v == maxtVar ||
           v == mintVar || v == startVar;
}

// Before every run: a short horizon and a bounded number of steps.
void Bound(Input& in, uint32_t instance) {
    // 0 .. 0.05 h: a few hundred steps even for the explicit methods, which
    // this stiff model holds to steps of about 1e-4 h.
    const double tstop = (in.Byte() % 64) / 1280.0;
    const double cint = tstop > 0 ? tstop / (1 + in.Byte() % 8) : 0.1;
    static const int32_t algorithms[] = {14, 2, 12, 15, 3, 4, 5, 13, 1, 8, 9, 0, 7, 10, 99};
    CALL(OrvoSetDouble(instance, tstopVar, tstop));
    CALL(OrvoSetDouble(instance, cintVar, cint));
    CALL(OrvoSetLong(instance, nstpVar, 1 + in.Byte() % 32));
    CALL(OrvoSetDouble(instance, maxtVar, 1e9));
    CALL(OrvoSetDouble(instance, mintVar, 1e-5));  // at most 5e4 steps of any method
    CALL(OrvoSetDouble(instance, startVar, 0.0));
    CALL(OrvoSetLong(instance, ialgVar, algorithms[in.Byte() % (sizeof algorithms / sizeof *algorithms)]));
}

uint32_t Variable(Input& in) {
    const uint8_t kind = in.Byte();
    if (kind < 8) return in.U32();  // anything, mostly invalid
    return numSymbols ? 1 + in.U32() % (numSymbols + 2) : 0;
}

uint32_t Instance(Input& in) {
    const uint8_t b = in.Byte();
    return b < 240 ? 1 + b % 3 : b;  // mostly the first few, sometimes 0 or > 99
}

void Indices(Input& in, uint32_t* indices) {
    for (int k = 0; k < 6; ++k) {
        const uint8_t b = in.Byte();
        indices[k] = b < 200 ? b % 4 : b;
    }
}

void Initialize() {
    CALL(OrvoInitialize());
    numSymbols = CALLV(OrvoGetNumberSymbols());
    cintVar = CALLV(OrvoGetSymbolIndex("cint"));
    tstopVar = CALLV(OrvoGetSymbolIndex("tstop"));
    nstpVar = CALLV(OrvoGetSymbolIndex("nstp"));
    maxtVar = CALLV(OrvoGetSymbolIndex("maxt"));
    mintVar = CALLV(OrvoGetSymbolIndex("mint"));
    ialgVar = CALLV(OrvoGetSymbolIndex("ialg"));
    startVar = CALLV(OrvoGetSymbolIndex("zzticg"));
}

// The model's values outlive OrvoInitialize (one static copy, defaults set at
// load), so an input would inherit what earlier inputs wrote. Every input
// starts from the values of the first: each numeric element is saved once and
// written back, through the exports (not counted as calls of the input).
class ModelValues {
public:
    void Save(uint32_t instance) {
        for (uint32_t v = 1; v <= numSymbols; ++v) {
            const uint32_t type = OrvoGetSymbolDatatype(v);
            if (type > 5) continue;  // strings and invalid
            uint32_t dims[6];
            OrvoGetSymbolDimensions(v, 0, dims);
            ForEachIndexSet(dims, [&](const uint32_t* idx) {
                Element e{v, type, {}, {}};
                std::copy(idx, idx + 6, e.indices);
                uint32_t actual = 0;
                OrvoGetSymbolValueIndexed(instance, v, &actual, &e.value, idx);
                if (actual == type) elements_.push_back(e);
            });
        }
    }
    void Restore(uint32_t instance) const {
        for (const Element& e : elements_) {
            OrvoSetSymbolValueIndexed(instance, e.variable, e.type, &e.value, e.indices);
        }
    }
    bool Saved() const { return !elements_.empty(); }

private:
    struct Element {
        uint32_t variable;
        uint32_t type;
        uint32_t indices[6];
        OrvoSymbolValue value;
    };
    template <typename Visit>
    static void ForEachIndexSet(const uint32_t* dims, Visit visit) {
        uint32_t idx[6] = {};
        int rank = 0;
        while (rank < 6 && dims[rank] != 0) ++rank;
        for (int k = 0; k < rank; ++k) idx[k] = 1;
        for (;;) {
            visit(idx);
            int k = 0;
            while (k < rank && ++idx[k] > dims[k]) idx[k++] = 1;  // column-major
            if (k == rank) return;
        }
    }
    std::vector<Element> elements_;
};

ModelValues initialValues;

void ValueCall(Input& in, uint8_t op) {
    const uint32_t instance = Instance(in);
    const uint32_t v = Variable(in);
    uint32_t idx[6];
    const uint32_t i1 = in.Byte() % 5, i2 = in.Byte() % 3;
    switch (op % 24) {
        case 0: CALLV(OrvoGetDouble(instance, v)); break;
        case 1: if (!IsBoundingVariable(v)) CALL(OrvoSetDouble(instance, v, in.Double())); break;
        case 2: CALLV(OrvoGetLong(instance, v)); break;
        case 3: if (!IsBoundingVariable(v)) CALL(OrvoSetLong(instance, v, static_cast<int32_t>(in.U32()))); break;
        case 4: CALLV(OrvoGetBool(instance, v)); break;
        case 5: CALL(OrvoSetBool(instance, v, in.Byte() & 1)); break;
        case 6: CALLV(OrvoGetShort(instance, v)); CALLV(OrvoGetFloat(instance, v)); break;
        case 7: {
            const char* s = CALLV(OrvoGetString(instance, v));
            if (s) (void)std::strlen(s);
            break;
        }
        case 8: CALL(OrvoSetString(instance, v, in.String().c_str())); break;
        case 9: Indices(in, idx); CALLV(OrvoGetDoubleIndexed(instance, v, idx)); break;
        case 10:
            Indices(in, idx);
            if (!IsBoundingVariable(v)) CALL(OrvoSetDoubleIndexed(instance, v, in.Double(), idx));
            break;
        case 11: CALLV(OrvoGetDouble1(instance, v, i1)); CALLV(OrvoGetDouble2(instance, v, i1, i2)); break;
        case 12: if (!IsBoundingVariable(v)) CALL(OrvoSetDouble1(instance, v, in.Double(), i1)); break;
        case 13: {
            Indices(in, idx);
            const char* s = CALLV(OrvoGetStringIndexed(instance, v, idx));
            if (s) (void)std::strlen(s);
            s = CALLV(OrvoGetString1(instance, v, i1));
            if (s) (void)std::strlen(s);
            break;
        }
        case 14: Indices(in, idx); CALL(OrvoSetStringIndexed(instance, v, in.String().c_str(), idx)); break;
        case 15: {
            uint32_t type = 0;
            uint32_t dims[6] = {};
            OrvoSymbolValue value{};
            if (CALLV(OrvoGetSymbolValue(instance, v, &type, &value, dims)) && type == 6 &&
                value.stringValue) {
                (void)std::strlen(value.stringValue);
            }
            break;
        }
        case 16: {
            // Only scalar writes through the generic call: the value of an
            // array travels as a pointer the harness would have to own.
            if (IsBoundingVariable(v)) break;
            Indices(in, idx);
            OrvoSymbolValue value{};
            value.doubleValue = in.Double();
            const uint32_t type = in.Byte() % 6;
            uint32_t dims[6] = {};
            if (type != 6) CALL(OrvoSetSymbolValue(instance, v, type == 2 ? 4 : type, value, dims));
            break;
        }
        case 17: {
            Indices(in, idx);
            uint32_t type = 0;
            OrvoSymbolValue value{};
            CALL(OrvoGetSymbolValueIndexed(instance, v, &type, &value, idx));
            break;
        }
        case 18: {
            if (IsBoundingVariable(v)) break;
            Indices(in, idx);
            OrvoSymbolValue value{};
            value.doubleValue = in.Double();
            const uint32_t type = in.Byte() % 6;
            if (type != 6) CALL(OrvoSetSymbolValueIndexed(instance, v, type, &value, idx));
            break;
        }
        case 19: {
            OrvoSymbolInfo info{};
            CALLV(OrvoGetSymbolInfo(v, &info));
            const char* name = CALLV(OrvoGetSymbolName(v));
            if (name) CALLV(OrvoGetSymbolIndex(name));
            CALLV(OrvoGetSymbolDatatype(v));
            CALLV(OrvoGetSymbolType(v));
            uint32_t dims[6];
            CALL(OrvoGetSymbolDimensions(v, 0, dims));
            break;
        }
        case 20: CALLV(OrvoGetSymbolIndex(in.String().c_str())); break;
        case 21:
            // Far below 1e-8 any method crawls at its minimum step.
            CALL(OrvoSetRelativeError(instance, v, std::fmax(in.Double(), 1e-8)));
            CALL(OrvoSetAbsoluteError(instance, v, std::fmax(in.Double(), 1e-8)));
            break;
        case 22: CALLV(OrvoGetRelativeError(instance, v)); CALLV(OrvoGetAbsoluteError(instance, v)); break;
        default: {
            double times[4];
            const int32_t count = in.Byte() % 5;
            for (int32_t k = 0; k < count; ++k) times[k] = in.Double();
            double* block = times;
            CALL(OrvoSetDataBlock(instance, in.Byte() % 2, 0, 0, count, &block));
            break;
        }
    }
}

void CallbackCall(Input& in, uint8_t op) {
    const uint32_t instance = Instance(in);
    const uint32_t data = in.Byte() % 4;
    switch (op % 13) {
        case 0: CALL(OrvoAddStatusCallback(instance, data, &OnStatus)); break;
        case 1: CALL(OrvoRemoveStatusCallback(instance, data, &OnStatus)); break;
        case 2: CALL(OrvoAddErrorCallback(instance, data, &OnError)); break;
        case 3: CALL(OrvoRemoveErrorCallback(instance, data, &OnError)); break;
        case 4: CALL(OrvoAddTickCallbackFunction(instance, data, &OnTick)); break;
        case 5: CALL(OrvoRemoveTickCallbackFunction(instance, data, &OnTick)); break;
        case 6: CALL(OrvoAddDiscreteEventCallbackFunction(instance, data, 1000 + in.Byte() % 4, &OnDiscrete)); break;
        case 7: CALL(OrvoRemoveDiscreteEventCallbackFunction(instance, data, 1000 + in.Byte() % 4, &OnDiscrete)); break;
        case 8: CALL(OrvoAddSymbolWatchCallback(instance, data, Variable(in), &OnWatch)); break;
        case 9: CALL(OrvoRemoveSymbolWatchCallback(instance, data, Variable(in), &OnWatch)); break;
        case 10: CALL(OrvoAddExecutionStateChangeCallbackFunction(instance, data, &OnState)); break;
        case 11: CALL(OrvoRemoveExecutionStateChangeCallbackFunction(instance, data, &OnState)); break;
        default: callbackAction = in.Byte() % 6; break;
    }
}

void RunCall(Input& in, uint8_t op) {
    const uint32_t instance = Instance(in);
    switch (op % 20) {
        case 0: Bound(in, instance); CALL(OrvoStart(instance)); break;
        case 1: Bound(in, instance); CALL(OrvoStartBlocking(instance)); break;
        case 2: CALL(OrvoStop(instance)); break;
        case 3: Bound(in, instance); CALL(OrvoContinue(instance)); break;
        case 4: Bound(in, instance); CALL(OrvoContinueBlocking(instance)); break;
        case 5: Bound(in, instance); CALL(OrvoPreStep(instance)); break;
        case 6: CALL(OrvoStep(instance)); break;
        case 7: CALL(OrvoRunToTime(instance, (in.Byte() % 64) / 1280.0)); break;
        case 8: CALL(OrvoStepIncr(instance, (in.Byte() % 16) / 1280.0)); break;
        case 9: CALL(OrvoReinitialize(instance)); break;
        case 10: CALL(OrvoCalcDeriv(instance, in.U32() % 1200)); break;
        case 11: Bound(in, instance); CALL(OrvoDebugStart(instance)); break;
        case 12: CALL(OrvoDebugBreak(instance)); CALL(OrvoDebugStep(instance)); break;
        case 13: CALL(OrvoDebugContinue(instance)); break;
        case 14: CALL(OrvoDebugStop(instance)); break;
        case 15: CALL(OrvoDebugSuspend(instance)); break;
        case 16: CALL(OrvoDebugResume(instance)); break;
        case 17: {
            const std::string file = in.String();
            const std::string block = in.String();
            if (in.Byte() & 1) {
                CALL(OrvoDebugAddBreakpoint(instance, in.U32() % 64, file.c_str(), block.c_str()));
            } else {
                CALL(OrvoDebugRemoveBreakpoint(instance, in.U32() % 64, file.c_str(), block.c_str()));
            }
            break;
        }
        case 18: CALL(OrvoDebugClearAllBreakpoints(instance)); break;
        default: CALLV(OrvoGetVersion()); CALLV(OrvoGetNumberDerivativeSections()); break;
    }
}

void LifecycleCall(Input& in, uint8_t op) {
    switch (op % 4) {
        case 0:
            CALLV(OrvoCreate());
            break;
        case 1: {
            const uint32_t which = Instance(in);
            CALL(OrvoDestroy(which));
            break;
        }
        case 2:
            Initialize();
            break;
        default:
            CALL(OrvoFinalize());
            break;
    }
}

void Report() {
    std::fprintf(stderr, "orvo-fuzz: %llu export calls from %llu inputs\n",
                 static_cast<unsigned long long>(exportCalls.load()),
                 static_cast<unsigned long long>(inputs.load()));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::atexit(&Report);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ++inputs;
    Input in(data, size);
    callbackAction = 0;
    Initialize();
    const uint32_t first = CALLV(OrvoCreate());
    if (!initialValues.Saved()) {
        initialValues.Save(first);
    } else {
        initialValues.Restore(first);
    }
    size_t runs = 0;
    for (size_t n = 0; n < 1024 && !in.Empty(); ++n) {
        const uint8_t op = in.Byte();
        switch (op >> 6) {
            case 0: ValueCall(in, op); break;
            case 1: CallbackCall(in, op); break;
            case 2:
                // At most a few runs per input keep an input's time bounded.
                if (++runs <= 6) RunCall(in, op);
                break;
            default: LifecycleCall(in, op); break;
        }
    }
    CALL(OrvoFinalize());  // ends a background run still going
    return 0;
}
