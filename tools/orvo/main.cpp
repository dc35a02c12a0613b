// orvo: command-line host of the model library. Lists its symbol table, runs
// the model once and writes the results as CSV, or runs populations and
// sensitivity analyses in worker processes.
#include <iostream>
#include <string>

#include "BatchCommand.h"
#include "BuildCommand.h"
#include "CalibrateCommand.h"
#include "ExitCodes.h"
#include "ListCommand.h"
#include "Options.h"
#include "OrvoLibrary.h"
#include "RunCommand.h"
#include "SensitivityCommand.h"

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "build") return BuildCommand(argc - 1, argv + 1);
    if (argc > 1 && std::string(argv[1]) == "calibrate") return CalibrateCommand(argc - 1, argv + 1);
    Options options;
    std::string error;
    if (!ParseCommandLine(argc, argv, options, error)) {
        std::cerr << "orvo: " << error << "\n";
        if (options.command.empty() || options.command == "run" || options.command == "list")
            std::cerr << UsageText(options.command);
        else
            std::cerr << "(orvo " << options.command << " --help describes the options)\n";
        return kExitBadInput;
    }
    if (options.help) {
        std::cout << UsageText(options.command);
        return kExitOk;
    }
    // The population commands load the library themselves, and each worker its own copy.
    if (options.command == "batch") return BatchCommand(options);
    if (options.command == "merge") return MergeCommand(options);
    if (options.command == "sensitivity")
        return options.method == "local" ? LocalSensitivityCommand(options) : SobolSensitivityCommand(options);

    OrvoLibrary library;
    const std::string path = options.libraryPath.empty() ? OrvoLibrary::DefaultPath() : options.libraryPath;
    if (!library.Load(path)) {
        std::cerr << "orvo: " << library.error() << "\n";
        return kExitRunFailed;
    }
    if (options.command == "list") {
        library.OrvoInitialize();
        const int status = ListCommand(library, std::cout);
        library.OrvoFinalize();
        return status;
    }
    return RunCommand(library, options);
}
