#include "BuildCommand.h"

#include <CLI/CLI.hpp>

#include <cctype>
#include <filesystem>
#include <iostream>

#include "CommandLine.h"
#include "ExitCodes.h"
#include "ModelBuilder.h"

int BuildCommand(int argc, char** argv) {
    CLI::App app{
        "Builds a model library liborvo_NAME.so from a model description, with the\n"
        "compiler and flags this orvo was installed with; NAME is the one the\n"
        "description declares (model NAME;). Run it with orvo run --lib DIR/liborvo_NAME.so.\n"
        "\n"
        "Exit status: 0 built, 1 a fault in the description (file:line:col: message) or\n"
        "the compiler failed or is missing, 2 bad command line.",
        "orvo build"};
    std::string description;
    std::string outDir = ".";
    std::string settings;
    std::string from;
    bool verbose = false;
    RefuseEmptyName(app.add_option("FILE.model", description, "the model description")->required()->type_name(""), false);
    RefuseEmptyName(
        app.add_option("--out", outDir, "folder the library goes to (default: the current folder)")->type_name("DIR"),
        true);
    RefuseEmptyName(
        app.add_option("--settings", settings, "build settings (default: lib/orvo/build.conf of this orvo)")
            ->type_name("FILE"),
        false);
    app.add_flag("--verbose", verbose, "print each command run on standard error");
    app.add_option("--from", from, "the file is another tool's model file, translated first: mcsim (GNU MCSim)")
        ->check(CLI::IsMember({"mcsim"}));
    if (const int parsed = ParseCommand(app, "build", argc, argv); parsed >= 0) return parsed;

    BuildConfig config;
    std::string error;
    if (!ReadBuildConfig(settings.empty() ? DefaultBuildConfigPath() : settings, config, error)) {
        std::cerr << "orvo build: " << error << "\n";
        return kExitRunFailed;
    }
    std::string log;
    // Another tool's model file: translated into a description beside the library.
    std::string source = description;
    std::string extension = std::filesystem::path(description).extension().string();
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (from == "mcsim" && extension == ".in") {
        std::cerr << "orvo build: " << description << " is a simulation file: build the model file it "
                  << "runs, and translate this one with orvo import mcsim " << description << " --model ...\n";
        return kExitBadInput;
    }
    if (from == "mcsim") {
        std::string stem = std::filesystem::path(description).stem().string();
        for (char& c : stem) c = std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(c)) : '_';
        std::error_code ec;
        std::filesystem::create_directories(outDir, ec);
        source = (std::filesystem::path(outDir) / (stem + ".model")).string();
        if (std::filesystem::equivalent(description, source, ec)) {
            std::cerr << "orvo build: the description translated from " << description
                      << " would replace it in " << outDir << ": give --out another folder\n";
            return kExitBadInput;
        }
        if (!ImportMcsimModel(description, source, config, error, verbose ? &log : nullptr)) {
            if (verbose) std::cerr << log;
            std::cerr << error << "\n";
            return kExitRunFailed;
        }
        std::cerr << "orvo build: translated " << description << " into " << source << "\n";
    }
    const BuildResult result = BuildModelLibrary(source, outDir, config, verbose ? &log : nullptr);
    if (verbose) std::cerr << log;
    if (!result.ok) {
        // Description faults already read file:line:col: message.
        std::cerr << (result.error.rfind(source + ":", 0) == 0 ? "" : "orvo build: ") << result.error << "\n";
        return kExitRunFailed;
    }
    std::cerr << "orvo build: wrote " << result.library << "\n";
    return kExitOk;
}
