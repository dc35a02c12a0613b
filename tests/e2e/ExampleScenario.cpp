#include "ExampleScenario.h"

#include "HostSession.h"

const std::vector<std::string>& ExampleScenarioColumns() {
    static const std::vector<std::string> columns = {
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
    return columns;
}

Trajectory RunExampleScenario(int32_t algorithm, double relative, double absolute, std::string* messages,
                              int32_t stepsPerInterval) {
    HostSession session;
    session.SetExampleScenario();
    session.SetAlgorithm(algorithm);
    session.SetLong("nstp", stepsPerInterval);
    if (relative > 0) session.SetStateTolerances(relative, absolute);
    session.SampleAtOutputPoints(ExampleScenarioColumns());
    session.Library().OrvoStartBlocking(session.Instance());
    if (messages) *messages = session.Messages();
    return session.Samples();
}
