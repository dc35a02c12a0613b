#include "ModelMetadata.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

namespace {

std::vector<std::string> Names(const nlohmann::json& list) {
    std::vector<std::string> names;
    if (list.is_array())
        for (const auto& item : list)
            if (item.is_string()) names.push_back(item.get<std::string>());
    return names;
}

std::string Text(const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

ModelMetadata ReadModelMetadata(const std::string& libraryPath, std::string& error) {
    ModelMetadata metadata;
    std::string path = libraryPath;
    const std::size_t dot = path.rfind(".so");
    if (dot == std::string::npos || dot + 3 != path.size()) return metadata;
    path.replace(dot, 3, ".json");
    // A pipe or device in its place would be waited on or read without end.
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(path, ec);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        error = "the model's metadata '" + path + "' cannot be read: it is not a file";
        return metadata;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) return metadata;
    // Parsed from memory: a stream is read a character at a time.
    std::ostringstream content;
    content << in.rdbuf();
    const std::string text = content.str();
    // The entry `key` of the object, or an empty array.
    const nlohmann::json none = nlohmann::json::array();
    const auto entry = [&none](const nlohmann::json& object, const char* key) -> const nlohmann::json& {
        const auto it = object.find(key);
        return it == object.end() ? none : *it;
    };
    try {
        const nlohmann::json json = nlohmann::json::parse(text);
        if (!json.is_object()) (void)json.value("record", none);  // refused as value() refuses it
        metadata.found = true;
        if (json.contains("time") && json["time"].is_object()) metadata.timeUnits = Text(json["time"], "units");
        metadata.record = Names(entry(json, "record"));
        metadata.populationOutputs = Names(entry(json, "population_outputs"));
        for (const auto& b : entry(json, "balances")) {
            ModelBalance balance;
            balance.name = Text(b, "name");
            balance.unaccounted = Text(b, "unaccounted");
            balance.dosed = Names(b.value("dosed", nlohmann::json::array()));
            if (b.contains("tolerance") && b["tolerance"].is_number()) balance.tolerance = b["tolerance"].get<double>();
            if (!balance.unaccounted.empty()) metadata.balances.push_back(std::move(balance));
        }
        for (const auto& v : entry(json, "variables")) {
            const std::string name = Text(v, "name");
            if (name.empty()) continue;
            metadata.units[name] = Text(v, "units");
            metadata.descriptions[name] = Text(v, "description");
        }
    } catch (const nlohmann::json::exception& e) {
        error = "the model's metadata '" + path + "' cannot be read: " + e.what();
        metadata = ModelMetadata{};
    }
    return metadata;
}
