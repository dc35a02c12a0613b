#include "ExecutionTestModel.h"

#include <cstring>
#include <string>

#include "operators/OrvoSimOperators.h"
#include "runtime/OrvoSimRuntime.h"
#include "runtime/OrvoSimRuntimeAPI.h"
#include "runtime/OrvoSimSettingsSlot.h"
#include "common/SharedFlag.h"

namespace execution_test {
namespace {

constexpr uint32_t kStringLength = 32;
constexpr uint32_t kNumDebugVariables = ExecutionTestModel::kHasDebugInfo ? 3 : 0;
// t, x, its derivative and initial condition, the debug variables.
constexpr uint32_t kFirstSetting = 5 + kNumDebugVariables;
constexpr uint32_t kNumVariables = kFirstSetting - 1 + NumSettings;

union Cell {
    double real;
    int32_t integer;
    uint8_t flag;
};

struct Storage {
    double derivative = 0.0;
    double initialCondition = 0.0;
    int32_t line = 0;
    char file[kStringLength] = {};
    char block[kStringLength] = {};
    Cell settings[NumSettings] = {};
};
Storage storage;

uint32_t SettingDataType(uint32_t slot) {
    switch (slot) {
    case SettingCint: case SettingMaxt: case SettingMint: case SettingCssitg:
    case SettingTjnitg: case SettingZzticg:
        return 4;
    case SettingIalg: case SettingNstp: case SettingZzinstidx: case SettingNciout:
    case SettingCioitg: case SettingMxoitg: case SettingNdbug: case SettingUbwitg:
    case SettingLbwitg: case SettingOmfitg:
        return 1;
    default:
        return 5;
    }
}

uint8_t& Flag(uint32_t slot) { return storage.settings[slot].flag; }

int32_t Bind(uint32_t instance) {
    ExecutionTestModel& m = ExecutionTestModel::Get();
    OrvoSimSetVariablePointer(instance, 1, &m.time);
    OrvoSimSetVariablePointer(instance, 2, &m.x);
    OrvoSimSetVariablePointer(instance, 3, &storage.derivative);
    OrvoSimSetVariablePointer(instance, 4, &storage.initialCondition);
    if (ExecutionTestModel::kHasDebugInfo) {
        OrvoSimSetVariablePointer(instance, 5, &storage.line);
        OrvoSimSetVariablePointer(instance, 6, storage.file);
        OrvoSimSetVariablePointer(instance, 7, storage.block);
    }
    for (uint32_t slot = 0; slot < NumSettings; ++slot) {
        OrvoSimSetVariablePointer(instance, kFirstSetting + slot, &storage.settings[slot]);
    }
    return 1;
}

void Section(uint32_t, uint32_t section) {
    if (section == 500) storage.derivative = ExecutionTestModel::Get().rate;
}

void Simulate(uint32_t instance) {
    ExecutionTestModel& m = ExecutionTestModel::Get();
    if (!Flag(SettingZzicon)) {
        zznits(instance);
        ++m.initialSections;
        m.At(1, "initial");
        zzrset(instance);
    }
    while (!LoadSharedFlag(&Flag(SettingZzstopflag)) && !LoadSharedFlag(&Flag(SettingZzstepstop))) {
        if (m.time >= m.stopTime - 1e-9) StoreSharedFlag(&Flag(SettingZzstopflag), 1);
        m.At(11, "dynamic");
        zzdebugtick();
        m.At(12, "dynamic");
        ++m.breakpointPasses;
        zzdebugtick();
        m.At(12, "other");
        zzdebugtick();
        m.At(13, "dynamic");
        zzdebugtick();
        if (m.onPass) m.onPass(instance);
        OrvoSimIntegrate(instance);
    }
}

void Register() {
    OrvoSimSetSystemInfo(kNumVariables, 1, 0, 0, kNumDebugVariables, 1, 0, &Bind,
                         &Simulate, &Section, 0);
    auto add = [](uint32_t variable, const char* name, uint32_t dataType, uint32_t symbolType,
                  uint32_t stringLength) {
        OrvoSimSetVariableDescriptor(variable, name, dataType, symbolType, 0, 0, 0, 0, 0, 0, -1.0,
                                     -1.0);
        OrvoSimSetVariableExtendedInfo(variable, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                       stringLength);
    };
    add(1, "t", 4, 0, 0);
    add(2, "x", 4, 2, 0);
    add(3, "z00001", 4, 3, 0);
    add(4, "z00002", 4, 4, 0);
    if (ExecutionTestModel::kHasDebugInfo) {
        add(5, "zzlinenum", 1, 5, 0);
        add(6, "zzfilename", 6, 5, kStringLength);
        add(7, "zzblockname", 6, 5, kStringLength);
    }
    for (uint32_t slot = 0; slot < NumSettings; ++slot) {
        const std::string name = "setting" + std::to_string(slot);
        add(kFirstSetting + slot, name.c_str(), SettingDataType(slot), slot <= 5 ? 6 + slot : 13,
            0);
    }
}

}  // namespace

ExecutionTestModel& ExecutionTestModel::Get() {
    static ExecutionTestModel model;
    return model;
}

uint32_t ExecutionTestModel::Setup() {
    time = 0.0;
    x = 0.0;
    rate = 1.0;
    stopTime = 1.0;
    initialSections = 0;
    breakpointPasses = 0;
    onPass = nullptr;
    storage = Storage{};
    storage.settings[SettingCint].real = 0.1;
    storage.settings[SettingIalg].integer = 5;  // RK4
    storage.settings[SettingNstp].integer = 10;
    storage.settings[SettingMaxt].real = 1e10;
    storage.settings[SettingMint].real = 1e-10;
    storage.settings[SettingNciout].integer = 1;
    storage.settings[SettingMxoitg].integer = 6;
    std::strcpy(storage.file, "model.csl");
    OrvoSimRuntime::GetInstance()->OrvoSimInitialize();
    OrvoSimMain();
    return OrvoSimRuntime::GetInstance()->OrvoSimCreateSystemInstance();
}

void ExecutionTestModel::At(int32_t line, const char* block) {
    storage.line = line;
    std::strncpy(storage.block, block, kStringLength - 1);
}

void DivideByZeroAt(int32_t line, const char* block) {
    ExecutionTestModel& m = ExecutionTestModel::Get();
    m.At(line, block);
    volatile double zero = 0.0;
    m.result = 1.0 / zero;
    zzdebugtick();
}

void UnderflowAt(int32_t line, const char* block) {
    ExecutionTestModel& m = ExecutionTestModel::Get();
    m.At(line, block);
    volatile double tiny = 1e-300;
    m.result = tiny * 1e-300;  // underflow to zero
    m.result += tiny * 1e-10;  // subnormal
    zzdebugtick();
}

}  // namespace execution_test

extern "C" void OrvoSimMain() { execution_test::Register(); }
