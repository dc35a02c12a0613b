#include "TestModel.h"

#include <cstring>

#include "orvo/orvo.h"
#include "runtime/OrvoSimRuntime.h"
#include "runtime/OrvoSimRuntimeAPI.h"
#include "common/SharedFlag.h"

namespace {

struct SettingDefinition {
    const char* name;
    uint32_t dataType;
    double defaultValue;
};

// The 47 settings in their fixed order, with the carried model's defaults.
constexpr SettingDefinition kSettings[NumSettings] = {
    {"cint", 4, 0.1},      {"ialg", 1, 5},        {"nstp", 1, 10},       {"maxt", 4, 1e9},
    {"mint", 4, 1e-9},     {"zzierr", 5, 0},      {"zzstopflag", 5, 0},  {"zzrnfl", 5, 0},
    {"zznist", 1, 2},      {"zznblk", 1, 1},      {"zzfrfl", 5, 0},      {"zzjefl", 5, 0},
    {"zzndst", 1, 0},      {"zzicon", 1, 0},      {"zzicfl", 5, 0},      {"zznavr", 1, 0},
    {"zzinstidx", 1, 0},   {"zzstepstop", 5, 0},  {"nciout", 1, 1},      {"cioitg", 1, 0},
    {"cjvitg", 5, 1},      {"cssitg", 4, 0},      {"dpsitg", 5, 1},      {"ecsitg", 5, 0},
    {"fdeitg", 5, 0},      {"mxoitg", 1, 6},      {"nrwitg", 5, 0},      {"nxeitg", 5, 0},
    {"tjnitg", 4, 0.2},    {"tsmitg", 5, 0},      {"weditg", 5, 1},      {"wesitg", 5, 0},
    {"wnditg", 5, 0},      {"wxditg", 5, 0},      {"cieitg", 5, 1},      {"ubwitg", 1, -1},
    {"lbwitg", 1, -1},     {"omfitg", 1, 222},    {"cmd", 1, 4},         {"dis", 1, 6},
    {"ndbug", 1, 0},       {"plt", 1, 6},         {"prn", 1, 9},         {"malprn", 1, 10},
    {"rrr", 1, 8},         {"save", 1, 3},        {"zzticg", 4, 0},
};

uint32_t Flattened(const TestVariable& v) {
    uint32_t size = 1;
    for (int k = 0; k < 6 && v.dims[k] != 0; ++k) size *= v.dims[k];
    return size;
}

size_t StorageBytes(const TestVariable& v) {
    if (v.dataType == 6) return v.stringLength > 0 ? Flattened(v) * v.stringLength : 8;
    return Flattened(v) * DataTypeElementSize(v.dataType);
}

int32_t InitializeEntry(uint32_t instance) {
    TestModel::Get().BindInstance(instance);
    return 0;
}
void SimulationEntry(uint32_t instance) { TestModel::Get().Simulate(instance); }
void SectionEntry(uint32_t instance, uint32_t section) {
    TestModel::Get().Section(instance, section);
}

}  // namespace

extern "C" void OrvoSimMain() { TestModel::Get().Register(); }

TestVariable Scalar(const std::string& name, uint32_t dataType) {
    TestVariable v;
    v.name = name;
    v.dataType = dataType;
    return v;
}

TestVariable Vector(const std::string& name, uint32_t extent, uint32_t dataType) {
    TestVariable v = Scalar(name, dataType);
    v.dims[0] = extent;
    return v;
}

TestVariable Matrix2(const std::string& name, uint32_t rows, uint32_t columns,
                     uint32_t dataType) {
    TestVariable v = Vector(name, rows, dataType);
    v.dims[1] = columns;
    return v;
}

TestModel& TestModel::Get() {
    static TestModel model;
    return model;
}

void TestModel::Configure(TestModelLayout layout) {
    layout_ = std::move(layout);
    onSection = nullptr;
    sectionCalls.clear();
    initializedInstances.clear();
    rate = 1.0;
    stopTime = 1.0;
}

uint32_t TestModel::NumStates() const {
    return static_cast<uint32_t>(layout_.states.size() + layout_.algebraicStates.size() +
                                 layout_.delayStates.size());
}

uint32_t TestModel::SettingVariable(uint32_t slot) const {
    return 3 * NumStates() + 2 + static_cast<uint32_t>(layout_.others.size()) + slot;
}

void TestModel::Add(const TestVariable& variable, uint32_t symbolType) {
    variables_.push_back({variable, symbolType});
}

void TestModel::Register() {
    variables_.assign(1, {});
    addresses_.assign(1, nullptr);
    blocks_.clear();

    std::vector<TestVariable> allStates = layout_.states;
    allStates.insert(allStates.end(), layout_.algebraicStates.begin(),
                     layout_.algebraicStates.end());
    allStates.insert(allStates.end(), layout_.delayStates.begin(), layout_.delayStates.end());
    stateElements_ = 0;
    for (const TestVariable& v : allStates) stateElements_ += Flattened(v);
    stateBlock_.assign(3 * static_cast<size_t>(stateElements_), 0.0);

    timeStorage_ = 0.0;
    Add(Scalar("t"), OrvoSymbolIndependentVariable);
    addresses_.push_back(&timeStorage_);
    const char* prefixes[3] = {"", "d", "i"};
    const uint32_t symbolTypes[3] = {OrvoSymbolState, OrvoSymbolDerivative,
                                     OrvoSymbolInitialCondition};
    for (int group = 0; group < 3; ++group) {
        uint32_t element = group * stateElements_;
        for (const TestVariable& v : allStates) {
            TestVariable named = v;
            named.name = prefixes[group] + v.name;
            named.dataType = 4;
            Add(named, symbolTypes[group]);
            addresses_.push_back(&stateBlock_[element]);
            element += Flattened(v);
        }
    }
    auto addBlock = [&](const TestVariable& v, uint32_t symbolType) {
        Add(v, symbolType);
        blocks_.push_back(std::make_unique<uint8_t[]>(StorageBytes(v)));
        addresses_.push_back(blocks_.back().get());
    };
    for (const TestVariable& v : layout_.others) addBlock(v, OrvoSymbolOther);
    for (const SettingDefinition& s : kSettings) {
        addBlock(Scalar(s.name, s.dataType), OrvoSymbolSetting);
        void* p = addresses_.back();
        if (s.dataType == 4) *static_cast<double*>(p) = s.defaultValue;
        if (s.dataType == 1) *static_cast<int32_t*>(p) = static_cast<int32_t>(s.defaultValue);
        if (s.dataType == 5) *static_cast<uint8_t*>(p) = s.defaultValue != 0;
    }

    OrvoSimSetSystemInfo(NumVariables(), static_cast<uint32_t>(layout_.states.size()),
                         static_cast<uint32_t>(layout_.algebraicStates.size()),
                         static_cast<uint32_t>(layout_.delayStates.size()),
                         static_cast<uint32_t>(layout_.others.size()), 1, 0, InitializeEntry,
                         SimulationEntry, SectionEntry, layout_.userDataSize);
    for (uint32_t number = 1; number <= NumVariables(); ++number) {
        const TestVariable& v = variables_[number].variable;
        OrvoSimSetVariableDescriptor(number, v.name.c_str(), v.dataType,
                                     variables_[number].symbolType, v.dims[0], v.dims[1],
                                     v.dims[2], v.dims[3], v.dims[4], v.dims[5],
                                     v.relativeTolerance, v.absoluteTolerance);
        OrvoSimSetVariableExtendedInfo(number, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                       v.discreteSection, v.stringLength);
    }
}

void TestModel::BindInstance(uint32_t instance) {
    initializedInstances.push_back(instance);
    for (uint32_t number = 1; number <= NumVariables(); ++number) {
        OrvoSimSetVariablePointer(instance, number, addresses_[number]);
    }
}

void TestModel::Section(uint32_t instance, uint32_t section) {
    sectionCalls.emplace_back(instance, section);
    if (section == 500) {
        for (uint32_t k = 0; k < stateElements_; ++k) stateBlock_[stateElements_ + k] = rate;
    }
    if (onSection) onSection(instance, section);
}

void TestModel::Simulate(uint32_t instance) {
    OrvoSimRuntime* runtime = OrvoSimRuntime::GetInstance();
    runtime->OrvoSimInitializeSystemInstance(instance);
    runtime->OrvoSimSetExecutionState(instance, OrvoExecutionInitialized);
    uint8_t& stop = Setting<uint8_t>(SettingZzstopflag);
    uint8_t& stepStop = Setting<uint8_t>(SettingZzstepstop);
    while (!LoadSharedFlag(&stop) && !LoadSharedFlag(&stepStop)) {
        if (Time() >= stopTime - 1e-12) StoreSharedFlag(&stop, 1);
        OrvoSimIntegrate(instance);
    }
}
