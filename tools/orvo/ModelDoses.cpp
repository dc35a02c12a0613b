#include "ModelDoses.h"

#include <fstream>

#include "SymbolText.h"

DoseModel DoseModelOf(const ModelVariables& variables) {
    DoseModel model;
    model.describe = [&variables](const std::string& name) {
        DoseTargetInfo info;
        ModelVariable v;
        if (!variables.Find(name, v)) return info;
        info.exists = true;
        const bool scalar = ElementCount(v.dims) == 1;
        const bool numeric = v.dataType != OrvoDataTypeString;
        info.state = v.symbolType == OrvoSymbolState && scalar;
        const std::string why = WhyNotSettable(v.symbolType, v.constant);
        info.settable = why.empty() && scalar && numeric;
        info.why = !why.empty() ? why : !scalar ? "an array" : !numeric ? "a string" : "";
        return info;
    };
    model.read = [&variables](const std::string& name) {
        ModelVariable v;
        return variables.Find(name, v) ? variables.ReadNumber(v) : 0.0;
    };
    ModelVariable start;
    if (variables.Find("zzticg", start)) model.start = variables.ReadNumber(start);
    return model;
}

void DoseApplier::operator()(const DoseEvent& event) {
    ModelVariable v;
    if (!variables_.Find(event.target, v)) return;
    if (v.symbolType != OrvoSymbolState && !original_.count(v.number))
        original_.emplace(v.number, std::make_pair(v, variables_.ReadNumber(v)));
    switch (event.kind) {
        case DoseEvent::Kind::Add:
            variables_.WriteNumber(v, 0, variables_.ReadNumber(v) + event.value);
            break;
        case DoseEvent::Kind::Set:
            if (event.infusion != 0) replaced_[event.infusion] = variables_.ReadNumber(v);
            variables_.WriteNumber(v, 0, event.value);
            break;
        case DoseEvent::Kind::Restore:
            if (const auto it = replaced_.find(event.infusion); it != replaced_.end()) {
                variables_.WriteNumber(v, 0, it->second);
                replaced_.erase(it);
            }
            break;
    }
}

void DoseApplier::RestoreConstants() {
    for (const auto& [number, original] : original_) variables_.WriteNumber(original.first, 0, original.second);
    original_.clear();
    replaced_.clear();
}

bool ReadDoseFile(const std::string& path, std::vector<DoseRecord>& records, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot open the dose-record file '" + path + "'";
        return false;
    }
    return ReadDoseRecords(in, path, records, error);
}
