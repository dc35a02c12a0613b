#include "ImportCommand.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "ExitCodes.h"
#include "ModelBuilder.h"

int ImportCommand(int argc, char** argv) {
    BuildConfig config;
    std::string error;
    if (!ReadBuildConfig(DefaultBuildConfigPath(), config, error) || config.importer.empty()) {
        std::cerr << "orvo import: " << (error.empty() ? "no importer is configured for this orvo" : error) << "\n";
        return kExitRunFailed;
    }
    std::vector<std::string> words{config.python, config.importer};
    for (int k = 1; k < argc; ++k) words.emplace_back(argv[k]);
    if (argc <= 1) words.emplace_back("--help");
    std::vector<char*> args;
    for (std::string& word : words) args.push_back(word.data());
    args.push_back(nullptr);
    setenv("ORVO_IMPORT_PROG", "orvo import", 1);  // its messages and usage name the command the user typed
    execv(args[0], args.data());
    std::cerr << "orvo import: cannot run '" << config.python << "': " << std::strerror(errno) << "\n";
    return kExitRunFailed;
}
