// orvo: command-line host of the model library. Lists its symbol table, runs
// the model once and writes the results as CSV, runs populations and
// sensitivity analyses in worker processes, or builds a model library.
#include <algorithm>
#include <cstring>
#include <iostream>
#include <string>

#include "BatchCommand.h"
#include "BuildCommand.h"
#include "CalibrateCommand.h"
#include "ImportCommand.h"
#include "ExitCodes.h"
#include "ListCommand.h"
#include "MergeCommand.h"
#include "RunCommand.h"
#include "SensitivityLocal.h"
#include "SensitivitySobol.h"

#if defined(__SANITIZE_ADDRESS__)
// Sanitizer builds only. GCC 12's LeakSanitizer misreads glibc 2.36's dynamic
// TLS of the loaded model library and can crash scanning it at exit ("Tracer
// caught signal 11"), depending on the memory layout. Without TLS as a root a
// pointer held only there would show as a leak, never hide one; the TLS
// blocks themselves are in LeakSanitizer's standard suppressions.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_options() {
    return "use_tls=0";
}
#endif

namespace {

// Every command: its name (and method), one line of help, and its entry,
// which parses its own options from argv[1..] (argv[0] is the command).
struct Command {
    const char* name;
    const char* method;  // a subcommand of `name`, or nullptr
    const char* summary;
    int (*run)(int argc, char** argv);
};

const Command kCommands[] = {
    {"list", nullptr, "print the model's symbol table", ListCommand},
    {"run", nullptr, "run the model once and write one CSV row per output point", RunCommand},
    {"batch", nullptr, "run a population of the model in worker processes", BatchCommand},
    {"merge", nullptr, "join the part files of all shards into the tables of one run", MergeCommand},
    {"sensitivity", "local", "normalised local sensitivity coefficients", LocalSensitivityCommand},
    {"sensitivity", "sobol", "Sobol indices over a population file's distributions", SobolSensitivityCommand},
    {"build", nullptr, "build a model library from a model description", BuildCommand},
    {"calibrate", nullptr, "fit parameters to data by Bayesian MCMC (adaptive Metropolis)", CalibrateCommand},
    {"import", nullptr, "translate another tool's model or simulation file (orvo import mcsim ...)", ImportCommand},
};

std::string Overview(const std::string& only = "") {
    std::string text = only.empty() ? "usage: orvo COMMAND [options]   (orvo COMMAND --help for its options;\n"
                                      "       orvo --version for the version)\n\n"
                                    : "usage: orvo " + only + " METHOD [options]   (orvo " + only +
                                          " METHOD --help for its options)\n\n";
    for (const Command& c : kCommands) {
        if (!only.empty() && only != c.name) continue;
        std::string name = c.method ? std::string(c.name) + " " + c.method : c.name;
        name.resize(std::max<std::size_t>(name.size() + 2, 20), ' ');
        text += "  " + name + c.summary + "\n";
    }
    if (only.empty())
        text += "\nExit status: 0 success, 1 a run, the library or a file failed, 2 bad command\n"
                "line or input (nothing ran), 3 some runs of a population failed, 4 some runs\n"
                "were lost with their worker processes.\n";
    return text;
}

// "local or sobol": the methods of command `name`.
std::string MethodsOf(const std::string& name) {
    std::string methods;
    for (const Command& c : kCommands)
        if (c.method && name == c.name) methods += (methods.empty() ? "" : " or ") + std::string(c.method);
    return methods;
}

int Refuse(const std::string& message, const std::string& overview = "") {
    std::cerr << "orvo: " << message << "\n" << Overview(overview);
    return kExitBadInput;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Refuse("no command given");
    const std::string name = argv[1];
    if (name == "-h" || name == "--help") {
        std::cout << Overview();
        return kExitOk;
    }
    if (name == "--version") {
        std::cout << "orvo " ORVO_VERSION "\n";
        return kExitOk;
    }
    if (name[0] == '-')
        return Refuse("'" + name + "' comes before the command: options go after it (orvo run " + name + " ...)");
    bool known = false;
    for (const Command& c : kCommands) {
        if (name != c.name) continue;
        known = true;
        if (!c.method) return c.run(argc - 1, argv + 1);
        if (argc > 2 && std::strcmp(argv[2], c.method) == 0) return c.run(argc - 2, argv + 2);
    }
    if (!known) {
        std::string names;
        for (const Command& c : kCommands)
            if (names.find(std::string(c.name) + ",") == std::string::npos) names += std::string(c.name) + ", ";
        return Refuse("unknown command '" + name + "' (expected " + names.substr(0, names.size() - 2) + ")");
    }
    // A command with methods, and none or an unknown one given.
    if (argc > 2 && (std::strcmp(argv[2], "-h") == 0 || std::strcmp(argv[2], "--help") == 0)) {
        std::cout << Overview(name);
        return kExitOk;
    }
    if (argc < 3 || argv[2][0] == '-') return Refuse(name + " needs a method: " + MethodsOf(name), name);
    return Refuse("unknown " + name + " method '" + std::string(argv[2]) + "' (expected " + MethodsOf(name) + ")",
                  name);
}
