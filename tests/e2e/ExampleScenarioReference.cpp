// The example scenario's trajectory at every output point, with the default
// algorithm (ODEPACK) and the default tolerances, as the reference that every
// build is compared against.
//
//   example_scenario_reference --write FILE   regenerate the reference
//   example_scenario_reference --check FILE   compare a fresh run with it
//
// Tolerance of the check: |fresh - reference| <= 1e-6 x max(|fresh|, |reference|)
// + 1e-9 for every entry. Builds of the same sources agree far closer than
// that (Debug and Release, with or without sanitizers); a change to the
// equations, the defaults, the dosing or the communication grid moves the
// states by far more. The mass balances are roundoff-sized and pass through
// the 1e-9 floor.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "HostSession.h"

namespace {

const std::vector<std::string> kColumns = {
    // iodide, mother: dose, plasma, thyroid, hormones, urine
    "aioral_i", "aplasma_mi", "ca_mi", "athyb_mi", "abound_mi", "cthyt_mi", "at4_mi", "ct4_mi", "at3_mi",
    "aplct_mi", "aelim_mi",
    // iodide, fetus
    "aplasma_fi", "capls_fi", "abound_fi", "cthy_fi", "at3_fi", "arob_fi",
    // perchlorate, mother
    "aioral_p", "aplasma_mp", "ca_mp", "abind_mp", "arbc_mp", "ask_mp", "athyt_mp", "cthy_mp", "aplct_mp",
    "aelim_mp", "aelim_mp_lastwk",
    // perchlorate, fetus
    "aplasma_fp", "capls_fp", "athyt_fp", "cthy_fp", "arob_fp",
    // checks
    "massb_amount_i", "massb_amount_p"};

constexpr double kRelative = 1e-6;
constexpr double kFloor = 1e-9;

Trajectory RunExampleScenario(std::string* messages) {
    HostSession session;
    session.SetExampleScenario();
    session.SampleAtOutputPoints(kColumns);
    session.Library().OrvoStartBlocking(session.Instance());
    *messages = session.Messages();
    return session.Samples();
}

int Usage() {
    std::fprintf(stderr, "usage: example_scenario_reference --write FILE | --check FILE\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return Usage();
    const bool write = std::strcmp(argv[1], "--write") == 0;
    if (!write && std::strcmp(argv[1], "--check") != 0) return Usage();
    const std::string path = argv[2];

    std::string messages;
    const Trajectory fresh = RunExampleScenario(&messages);
    // A run that stopped early has fewer points; no reference is written from it.
    if (fresh.Rows().empty() || fresh.Rows().back()[0] < 2400.0) {
        std::fprintf(stderr, "the example scenario did not reach t = 2400:\n%s", messages.c_str());
        return 1;
    }
    if (write) {
        if (!fresh.WriteCsv(path)) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
        std::printf("wrote %zu output points of %zu variables to %s\n", fresh.Rows().size(),
                    fresh.Names().size() - 1, path.c_str());
        return 0;
    }

    std::string error;
    const Trajectory reference = Trajectory::ReadCsv(path, &error);
    if (!error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    if (reference.Names() != fresh.Names()) {
        std::fprintf(stderr, "the reference's columns differ from the generator's: regenerate it with --write\n");
        return 1;
    }
    const TrajectoryComparison comparison = Trajectory::Compare(reference, fresh, kRelative, kFloor);
    if (!comparison.problem.empty()) {
        std::fprintf(stderr, "the fresh run does not line up with %s: %s\n", path.c_str(), comparison.problem.c_str());
        return 1;
    }
    std::printf("largest deviation from the reference: %.3g of the tolerance (%s); largest relative %.3g\n",
                comparison.worstRatio, comparison.worstAt.c_str(), comparison.worstRelative);
    if (!comparison.Agrees()) {
        std::fprintf(stderr, "the fresh run departs from %s beyond %g relative + %g\n", path.c_str(), kRelative,
                     kFloor);
        return 1;
    }
    return 0;
}
