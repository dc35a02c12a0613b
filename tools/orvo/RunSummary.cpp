#include "RunSummary.h"

#include <cmath>
#include <cstdio>

#include "SymbolText.h"

namespace {

std::string ValueText(const ModelVariables& variables, const ModelVariable& variable) {
    const uint32_t count = ElementCount(variable.dims);
    std::string text;
    for (uint32_t i = 0; i < count; ++i) {
        if (i > 0) text += ",";
        text += variables.ReadText(variable, i);
    }
    return text;
}

std::string Number(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.6g", value);
    return buffer;
}

// Sum of the named scalars the model has; false when one is missing.
bool SumOf(const ModelVariables& variables, const std::vector<std::string>& names, double& sum) {
    sum = 0.0;
    for (const std::string& name : names) {
        ModelVariable v;
        if (!variables.Find(name, v)) return false;
        sum += variables.ReadNumber(v);
    }
    return true;
}

// "unaccounted X of dosed D (relative R)": the balance variable holds dosed
// amount minus what is found in the body and eliminated.
// Empty when the model lacks one of the variables. A balance off by more
// than `tolerance` of the dose (or not a number) adds a warning line: the
// numbers of such a run are not to be trusted.
std::string BalanceLine(const ModelVariables& variables, const std::string& label, const std::string& balanceName,
                        const std::vector<std::string>& dosedNames, double tolerance) {
    double balance = 0.0;
    double dosed = 0.0;
    if (!SumOf(variables, {balanceName}, balance) || !SumOf(variables, dosedNames, dosed)) return "";
    std::string line = "  " + label + ": dosed " + Number(dosed) + ", unaccounted " + Number(balance);
    const double relative = dosed != 0.0 ? std::fabs(balance / dosed) : std::fabs(balance);
    line += dosed != 0.0 ? " (" + Number(relative) + " of the dose)" : " (nothing dosed)";
    line += "  [" + balanceName + "]\n";
    if (!(relative <= tolerance)) {
        line += "  WARNING: the " + label + " balance is off by " + Number(relative) +
                (dosed != 0.0 ? " of the dose" : "") + ", more than " + Number(tolerance) +
                ": the results are not reliable\n";
    }
    return line;
}

}  // namespace

void PrintRunSummary(std::ostream& out, const ModelVariables& variables, const ModelMetadata& metadata,
                     const std::vector<AppliedSetting>& settings, const RunRecorder& recorder) {
    out << "Settings:";
    if (settings.empty()) out << " model defaults";
    out << "\n";
    for (const AppliedSetting& s : settings)
        out << "  " << s.variable.name << " = " << ValueText(variables, s.variable) << "  (" << s.origin << ")\n";

    const ModelVariable time = variables.At(1);
    out << "Output rows: " << recorder.Rows() << "\n";
    out << "Final time: " << time.name << " = " << variables.ReadText(time) << "\n";

    out << "Final values:\n";
    for (const RunRecorder::Column& column : recorder.Columns()) {
        if (column.variable.number == time.number) continue;
        out << "  " << column.header << " = " << variables.ReadText(column.variable, column.offset) << "\n";
    }

    // The balances the model declares; one without a tolerance is reported, not judged.
    std::string balances;
    for (const ModelBalance& b : metadata.balances)
        balances += BalanceLine(variables, b.name, b.unaccounted, b.dosed, b.tolerance);
    if (!balances.empty()) out << "Mass balance:\n" << balances;

    out << "Status messages: " << recorder.StatusMessages() << "\n";
    if (recorder.ErrorReports() != 0) out << "Error reports: " << recorder.ErrorReports() << "\n";
}
