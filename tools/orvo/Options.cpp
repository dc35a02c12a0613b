#include "Options.h"

#include <string_view>

namespace {

// Options that take an argument; both "--opt value" and "--opt=value".
bool TakesArgument(std::string_view name) {
    return name == "--lib" || name == "--set" || name == "--scenario" || name == "--out" ||
           name == "--vars";
}

bool RunOnly(std::string_view name) { return name != "--lib" && name != "--help"; }

}  // namespace

bool ParseCommandLine(int argc, const char* const* argv, Options& options, std::string& error) {
    options = Options{};
    std::vector<std::string> runOptionsSeen;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            options.help = true;
            continue;
        }
        if (arg.size() < 2 || arg.substr(0, 2) != "--") {
            if (!options.command.empty()) {
                error = "unexpected argument '" + std::string(arg) + "'";
                return false;
            }
            if (arg != "list" && arg != "run") {
                error = "unknown command '" + std::string(arg) + "' (expected list or run)";
                return false;
            }
            options.command = arg;
            continue;
        }
        std::string name(arg);
        std::string value;
        bool hasValue = false;
        if (const std::size_t equals = arg.find('='); equals != std::string_view::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
            hasValue = true;
        }
        if (name == "--summary") {
            if (hasValue) {
                error = "option --summary takes no value";
                return false;
            }
            options.summary = true;
        } else if (TakesArgument(name)) {
            if (!hasValue) {
                if (i + 1 >= argc) {
                    error = "option " + name + " needs an argument";
                    return false;
                }
                value = argv[++i];
            }
            if (name == "--lib") {
                options.libraryPath = value;
            } else if (name == "--scenario") {
                options.scenarios.push_back(value);
            } else if (name == "--out") {
                options.outputFile = value;
            } else if (name == "--vars") {
                std::vector<std::string> names;
                if (!SplitNameList(value, names, error)) return false;
                options.variables.insert(options.variables.end(), names.begin(), names.end());
            } else {  // --set
                Assignment assignment;
                if (!ParseAssignment(value, assignment, error)) {
                    error = "--set: " + error;
                    return false;
                }
                assignment.origin = "--set";
                options.settings.push_back(std::move(assignment));
            }
        } else {
            error = "unknown option '" + name + "'";
            return false;
        }
        if (RunOnly(name)) runOptionsSeen.push_back(name);
    }
    if (options.command == "list" && !runOptionsSeen.empty()) {
        error = "option " + runOptionsSeen.front() + " applies to 'run' only";
        return false;
    }
    if (options.command.empty() && !options.help) {
        error = "no command given (expected list or run)";
        return false;
    }
    return true;
}

const char* UsageText() {
    return "usage: orvo list [--lib PATH]\n"
           "       orvo run  [--lib PATH] [--scenario FILE]... [--set NAME=VALUE]...\n"
           "                 [--out FILE.csv] [--vars a,b,c] [--summary]\n"
           "\n"
           "  list             print the model's symbol table\n"
           "  run              run the model once and write one CSV row per output point\n"
           "  --lib PATH       model library (default: ../lib/liborvo_pregnancy.so beside orvo)\n"
           "  --scenario FILE  NAME=VALUE lines ('#' starts a comment), applied before --set\n"
           "  --set NAME=VALUE set a model constant or run setting; arrays take\n"
           "                   one comma-separated value per element\n"
           "  --out FILE.csv   write the CSV there instead of standard output\n"
           "  --vars a,b,c     variables to record (default: time, key amounts and\n"
           "                   concentrations, mass balances)\n"
           "  --summary        print a short summary of the run to standard output\n"
           "                   (to standard error when the CSV goes to standard output)\n"
           "\n"
           "Exit status: 0 success, 1 the run failed or output could not be written,\n"
           "2 bad command line, unknown variable or bad value.\n";
}
