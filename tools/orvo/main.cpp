// orvo: command-line host of the model library. Loads the library, then
// lists its symbol table or runs the model once and writes the results as CSV.
#include <iostream>

#include "ListCommand.h"
#include "Options.h"
#include "OrvoLibrary.h"
#include "RunCommand.h"

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!ParseCommandLine(argc, argv, options, error)) {
        std::cerr << "orvo: " << error << "\n" << UsageText();
        return kExitBadInput;
    }
    if (options.help) {
        std::cout << UsageText();
        return kExitOk;
    }
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
