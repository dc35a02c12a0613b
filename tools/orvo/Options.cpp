#include "Options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>
#include <strings.h>

#include "NumberText.h"

namespace {

// Options that take an argument; both "--opt value" and "--opt=value".
bool TakesArgument(std::string_view name) {
    static const char* const names[] = {"--lib",   "--set",   "--scenario", "--out",  "--vars",
                                        "--at",    "--params", "--jobs",    "--shard", "--plot",
                                        "--runs",  "--bootstrap", "--step", "--doses", "--run-timeout"};
    return std::find(std::begin(names), std::end(names), name) != std::end(names);
}

// Which command takes which option.
bool Applies(const std::string& command, std::string_view name) {
    if (name == "--help") return true;
    if (command == "list") return name == "--lib";
    if (command == "run")
        return name == "--lib" || name == "--scenario" || name == "--set" || name == "--out" || name == "--vars" ||
               name == "--summary" || name == "--doses";
    // merge needs no library, but takes --lib like the others so hosts can pass it always.
    if (command == "merge") return name == "--out" || name == "--plot" || name == "--vars" || name == "--lib";
    if (command == "batch")
        return name != "--summary" && name != "--runs" && name != "--bootstrap" && name != "--step" &&
               name != "--doses";
    // --run-timeout applies to the population commands, which run in workers.
    if (command == "sensitivity") return name != "--summary" && name != "--plot" && name != "--doses";
    return false;
}

bool ParseCount(std::string_view text, uint64_t low, uint64_t high, uint64_t& value) {
    const char* last = text.data() + text.size();
    const auto [end, ec] = std::from_chars(text.data(), last, value);
    return ec == std::errc() && end == last && !text.empty() && value >= low && value <= high;
}

bool ParseOptionValue(Options& options, const std::string& name, const std::string& value, std::string& error) {
    uint64_t count = 0;
    if (name == "--lib") {
        options.libraryPath = value;
    } else if (name == "--scenario") {
        options.scenarios.push_back(value);
    } else if (name == "--out") {
        options.outputFile = value;
    } else if (name == "--doses") {
        options.dosesFile = value;
    } else if (name == "--plot") {
        options.plotFile = value;
    } else if (name == "--params") {
        options.params = value;
    } else if (name == "--vars") {
        std::vector<std::string> names;
        if (!SplitNameList(value, names, error)) return false;
        for (const std::string& name : names) {
            // A repeated column would make tables that merge cannot rebuild.
            for (const std::string& seen : options.variables)
                if (strcasecmp(seen.c_str(), name.c_str()) == 0) {
                    error = "--vars: '" + Clip(name) + "' is given twice";
                    return false;
                }
            options.variables.push_back(name);
        }
    } else if (name == "--at") {
        std::vector<std::string> items;
        if (!SplitNameList(value, items, error)) return false;
        for (const std::string& item : items) {
            double t = 0.0;
            if (!ReadReal(item, t) || !std::isfinite(t)) {
                error = "--at: bad time '" + item + "'";
                return false;
            }
            options.atTimes.push_back(t);
        }
    } else if (name == "--jobs") {
        if (!ParseCount(value, 1, 1024, count)) {
            error = "--jobs: expected a number of workers from 1 to 1024, got '" + value + "'";
            return false;
        }
        options.jobs = static_cast<unsigned>(count);
    } else if (name == "--shard") {
        const std::size_t slash = value.find('/');
        uint64_t k = 0, n = 0;
        if (slash == std::string::npos || !ParseCount(std::string_view(value).substr(0, slash), 0, UINT32_MAX, k) ||
            !ParseCount(std::string_view(value).substr(slash + 1), 1, UINT32_MAX, n)) {
            error = "--shard: expected K/N (shard K of N, K from 0 to N-1), got '" + value + "'";
            return false;
        }
        if (k >= n) {
            error = "--shard " + value + ": K must be below N (shards count from 0)";
            return false;
        }
        options.sharded = true;
        options.shard = k;
        options.shards = n;
    } else if (name == "--runs") {
        if (!ParseCount(value, 1, 100000000, count)) {
            error = "--runs: expected a whole number from 1 to 100000000, got '" + value + "'";
            return false;
        }
        options.runs = count;
    } else if (name == "--bootstrap") {
        if (!ParseCount(value, 0, kMaxBootstrap, count)) {
            error = "--bootstrap: expected a number of replicates from 0 to " + std::to_string(kMaxBootstrap) +
                    ", got '" + value + "'";
            return false;
        }
        options.bootstrap = count;
    } else if (name == "--run-timeout") {
        if (!ReadReal(value, options.runTimeout) || !(options.runTimeout > 0.0) || options.runTimeout > 1e7) {
            error = "--run-timeout: expected seconds, a number above 0, got '" + Clip(value) + "'";
            return false;
        }
    } else if (name == "--step") {
        if (!ReadReal(value, options.step) || !(options.step > 0.0 && options.step < 0.5)) {
            error = "--step: expected a relative step between 0 and 0.5, got '" + value + "'";
            return false;
        }
    } else {  // --set
        Assignment assignment;
        if (!ParseAssignment(value, assignment, error)) {
            error = "--set: " + error;
            return false;
        }
        assignment.origin = "--set";
        options.settings.push_back(std::move(assignment));
    }
    return true;
}

bool TakePositional(Options& options, std::string_view arg, std::string& error) {
    if (options.command.empty()) {
        if (arg != "list" && arg != "run" && arg != "batch" && arg != "merge" && arg != "sensitivity") {
            error = "unknown command '" + std::string(arg) + "' (expected list, run, batch, merge or sensitivity)";
            return false;
        }
        options.command = arg;
        return true;
    }
    if (options.command == "merge") {
        options.parts.emplace_back(arg);
        return true;
    }
    if (options.command == "sensitivity" && options.method.empty()) {
        if (arg != "local" && arg != "sobol") {
            error = "unknown sensitivity method '" + std::string(arg) + "' (expected local or sobol)";
            return false;
        }
        options.method = arg;
        return true;
    }
    error = "unexpected argument '" + std::string(arg) + "'";
    return false;
}

}  // namespace

bool ParseCommandLine(int argc, const char* const* argv, Options& options, std::string& error) {
    options = Options{};
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            options.help = true;
            continue;
        }
        if (arg.size() < 2 || arg.substr(0, 2) != "--") {
            if (!TakePositional(options, arg, error)) return false;
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
        if (name == "--summary" || name == "--progress") {
            if (hasValue) {
                error = "option " + name + " takes no value";
                return false;
            }
            (name == "--summary" ? options.summary : options.progress) = true;
        } else if (TakesArgument(name)) {
            if (!hasValue) {
                if (i + 1 >= argc) {
                    error = "option " + name + " needs an argument";
                    return false;
                }
                value = argv[++i];
            }
            if (!ParseOptionValue(options, name, value, error)) return false;
        } else {
            error = "unknown option '" + Clip(name) + "'";
            return false;
        }
        options.given.push_back(name);
    }
    if (options.help) return true;
    if (options.command.empty()) {
        error = "no command given";
        return false;
    }
    if (options.command == "sensitivity" && options.method.empty()) {
        error = "sensitivity needs a method: local or sobol";
        return false;
    }
    for (const std::string& name : options.given)
        if (!Applies(options.command, name)) {
            error = "option " + name + " does not apply to '" + options.command + "'";
            return false;
        }
    return true;
}
