#include "ModelMetadata.h"

#include <fstream>

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
    std::ifstream in(path);
    if (!in) return metadata;
    try {
        const nlohmann::json json = nlohmann::json::parse(in);
        metadata.found = true;
        if (json.contains("time") && json["time"].is_object()) metadata.timeUnits = Text(json["time"], "units");
        metadata.record = Names(json.value("record", nlohmann::json::array()));
        metadata.populationOutputs = Names(json.value("population_outputs", nlohmann::json::array()));
        for (const auto& b : json.value("balances", nlohmann::json::array())) {
            ModelBalance balance;
            balance.name = Text(b, "name");
            balance.unaccounted = Text(b, "unaccounted");
            balance.dosed = Names(b.value("dosed", nlohmann::json::array()));
            if (b.contains("tolerance") && b["tolerance"].is_number()) balance.tolerance = b["tolerance"].get<double>();
            if (!balance.unaccounted.empty()) metadata.balances.push_back(std::move(balance));
        }
        for (const auto& v : json.value("variables", nlohmann::json::array())) {
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
