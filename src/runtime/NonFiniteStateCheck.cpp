#include "runtime/NonFiniteStateCheck.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "common/AllWithin.h"
#include "integrators/Integrator.h"
#include "common/TextException.h"
#include "runtime/OrvoSimRuntime.h"

namespace {

// Index of the first element that is not finite (or, with `limit`, beyond
// it in magnitude), or `count`.
uint32_t FirstRunaway(void* const* slots, uint32_t count, double limit) {
    const double* values = slots ? static_cast<const double*>(*slots) : nullptr;
    if (!values || AllWithin(values, count, limit)) return count;
    for (uint32_t k = 0; k < count; ++k) {
        if (!(std::fabs(values[k]) <= limit)) return k;
    }
    return count;
}

// Name of the variable that holds element `element` of the block of
// state variables starting at `firstVariable`, as "name" or "name(k)".
std::string ElementName(const OrvoSimRuntime& runtime, uint32_t firstVariable,
                        uint32_t variableCount, uint32_t element, bool derivative) {
    uint32_t start = 0;
    for (uint32_t v = firstVariable; v < firstVariable + variableCount; ++v) {
        const OrvoSimVariableDescriptor* state = runtime.GetDescriptor(v);
        if (!state) break;
        const auto size = static_cast<uint32_t>(std::max<size_t>(state->storageSize / sizeof(double), 1));
        if (element < start + size) {
            std::string name = state->name;
            if (size > 1) name.append("(").append(std::to_string(element - start + 1)).append(")");
            if (!derivative) return name;
            // Derivatives carry generated names; the state says more.
            const OrvoSimVariableDescriptor* rate = runtime.GetDescriptor(state->derivativeVariable);
            return (rate ? rate->name + " " : std::string()) + "of " + name;
        }
        start += size;
    }
    return "element " + std::to_string(element + 1);
}

}  // namespace

std::string NonFiniteStateDescription(const OrvoSimRuntime& runtime, uint32_t instance) {
    const OrvoSimSystemInstance* record = runtime.GetSystemInstance(instance);
    if (!record) return {};
    const OrvoSimSystemInfo& info = runtime.GetSystemInfo();
    struct Block {
        void* const* values;
        uint32_t elements;
        uint32_t firstVariable;
        uint32_t variables;
        bool derivative;
    };
    // State variables are numbered from 2: ordinary, algebraic, then delay.
    const uint32_t firstAlgebraic = 2 + info.numStates;
    const uint32_t firstDelay = firstAlgebraic + info.numAlgebraicStates;
    const Block blocks[] = {
        {record->states, record->numStateElements, 2, info.numStates, false},
        {record->derivatives, record->numStateElements, 2, info.numStates, true},
        {record->algebraicStates, record->numAlgebraicElements, firstAlgebraic,
         info.numAlgebraicStates, false},
        {record->delayStates, record->numDelayElements, firstDelay, info.numDelayStates, false},
    };
    for (const Block& block : blocks) {
        if (block.variables == 0) continue;
        // A state far beyond any meaningful magnitude is a method outside its
        // stability limit, on its way to infinity; derivatives may be stiff.
        const double limit = block.derivative ? HUGE_VAL : Integrator::kStateMagnitudeLimit;
        const uint32_t k = FirstRunaway(block.values, block.elements, limit);
        if (k == block.elements) continue;
        const double value = static_cast<const double*>(*block.values)[k];
        const double* time =
            record->independentVariable ? static_cast<const double*>(*record->independentVariable)
                                        : nullptr;
        char what[64];
        if (std::isnan(value)) {
            std::snprintf(what, sizeof what, "became NaN");
        } else if (std::isinf(value)) {
            std::snprintf(what, sizeof what, "became infinite");
        } else {
            std::snprintf(what, sizeof what, "reached %.3g, beyond %g,", value,
                          Integrator::kStateMagnitudeLimit);
        }
        char text[200];
        std::snprintf(text, sizeof text, "%s %s %s at t = %.9g",
                      block.derivative ? "derivative" : "state",
                      ElementName(runtime, block.firstVariable, block.variables, k,
                                  block.derivative).c_str(),
                      what, time ? *time : std::nan(""));
        return text;
    }
    return {};
}

void ThrowOnNonFiniteState(const OrvoSimRuntime& runtime, uint32_t instance) {
    std::string description = NonFiniteStateDescription(runtime, instance);
    if (!description.empty()) throw TextException(description);
}
