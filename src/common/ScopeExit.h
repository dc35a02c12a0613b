#pragma once

#include <utility>

// Runs an action when the scope ends, also when a model evaluation throws, so
// flags and derivative arguments are never left in their temporary state.
template <typename Action>
class ScopeExit {
public:
    explicit ScopeExit(Action action) : action_(std::move(action)) {}
    ~ScopeExit() { action_(); }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

private:
    Action action_;
};
