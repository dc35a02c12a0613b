// The example scenario's trajectory at every output point, solved at tight
// tolerances, as the reference that every build is compared against.
//
//   example_scenario_reference --write FILE   regenerate the reference
//   example_scenario_reference --check FILE   compare a default run with it
//
// --write solves the scenario with DLSODES and with Gear at 1e-10 relative,
// 1e-13 absolute on every state, and writes DLSODES's trajectory only when
// the two agree within 1e-7 relative + 1e-6 (the mass balances, differences
// of amounts near 1e5, are roundoff below that floor): the reference is then
// the solution of the equations, not a snapshot of one method.
//
// --check runs the default method (DLSODES) at the default tolerances (1e-4
// relative and absolute) and accepts |run - reference| <= 1e-3 x max(|run|,
// |reference|) + 1e-3: ten times the tolerances, for the error a run builds up
// over its steps. A change to the equations, the defaults, the dosing or the
// grid moves the states by far more. Every stiff method is checked against
// the same file by e2e.Stiff/ReferenceTrajectory.*.

#include <cstdio>
#include <cstring>
#include <string>

#include "ExampleScenario.h"

namespace {

constexpr double kTightRelative = 1e-10;
constexpr double kTightAbsolute = 1e-13;
// DLSODES calls every 0.024 h: at these tolerances the start needs more
// than its 500 steps per call in the default 2.4 h.
constexpr int32_t kTightStepsPerInterval = 1000;
constexpr double kMethodsAgree = 1e-7;
constexpr double kMethodsAgreeFloor = 1e-6;
constexpr double kDefaultRunRelative = 1e-3;
constexpr double kDefaultRunFloor = 1e-3;

bool ReachedTheEnd(const Trajectory& run, const std::string& messages) {
    if (!run.Rows().empty() && run.Rows().back()[0] >= 2400.0) return true;
    std::fprintf(stderr, "the example scenario did not reach t = 2400:\n%s", messages.c_str());
    return false;
}

int Write(const std::string& path) {
    std::string messages;
    const Trajectory odepack = RunExampleScenario(14, kTightRelative, kTightAbsolute, &messages, kTightStepsPerInterval);
    if (!ReachedTheEnd(odepack, messages)) return 1;
    const Trajectory gear = RunExampleScenario(2, kTightRelative, kTightAbsolute, &messages, kTightStepsPerInterval);
    if (!ReachedTheEnd(gear, messages)) return 1;
    const TrajectoryComparison agreement = Trajectory::Compare(odepack, gear, kMethodsAgree, kMethodsAgreeFloor);
    std::printf("DLSODES and Gear at %g relative: largest relative difference %.3g (%s), %.3g of the bound\n",
                kTightRelative, agreement.worstRelative, agreement.worstAt.c_str(), agreement.worstRatio);
    if (!agreement.Agrees()) {
        std::fprintf(stderr, "the two solutions differ beyond %g relative + %g: no reference written\n",
                     kMethodsAgree, kMethodsAgreeFloor);
        return 1;
    }
    if (!odepack.WriteCsv(path)) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return 1;
    }
    std::printf("wrote %zu output points of %zu variables to %s\n", odepack.Rows().size(),
                odepack.Names().size() - 1, path.c_str());
    return 0;
}

int Check(const std::string& path) {
    std::string error;
    const Trajectory reference = Trajectory::ReadCsv(path, &error);
    if (!error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::string messages;
    const Trajectory fresh = RunExampleScenario(kDefaultAlgorithm, kDefaultTolerance, kDefaultTolerance, &messages);
    if (!ReachedTheEnd(fresh, messages)) return 1;
    if (reference.Names() != fresh.Names()) {
        std::fprintf(stderr, "the reference's columns differ from the generator's: regenerate it with --write\n");
        return 1;
    }
    const TrajectoryComparison comparison =
        Trajectory::Compare(reference, fresh, kDefaultRunRelative, kDefaultRunFloor);
    if (!comparison.problem.empty()) {
        std::fprintf(stderr, "the fresh run does not line up with %s: %s\n", path.c_str(), comparison.problem.c_str());
        return 1;
    }
    std::printf("largest deviation from the reference: %.3g of the tolerance (%s); largest relative %.3g\n",
                comparison.worstRatio, comparison.worstAt.c_str(), comparison.worstRelative);
    if (!comparison.Agrees()) {
        std::fprintf(stderr, "the fresh run departs from %s beyond %g relative + %g\n", path.c_str(),
                     kDefaultRunRelative, kDefaultRunFloor);
        return 1;
    }
    return 0;
}

int Usage() {
    std::fprintf(stderr, "usage: example_scenario_reference --write FILE | --check FILE\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return Usage();
    if (std::strcmp(argv[1], "--write") == 0) return Write(argv[2]);
    if (std::strcmp(argv[1], "--check") == 0) return Check(argv[2]);
    return Usage();
}
