#include "OperatorTestModel.h"

#include "operators/OrvoSimOperators.h"
#include "runtime/OrvoSimRuntime.h"
#include "runtime/OrvoSimRuntimeAPI.h"

OperatorTestModel* OperatorTestModel::current = nullptr;

namespace {

constexpr uint32_t kFirstSetting = 5;  // after t, x, its derivative and initial condition
constexpr uint32_t kNumVariables = kFirstSetting - 1 + NumSettings;

uint32_t SettingDataType(uint32_t slot)
{
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

}  // namespace

OperatorTestModel::OperatorTestModel()
{
    current = this;
    settings_[SettingCint].real = 0.1;
    settings_[SettingIalg].integer = 5;  // RK4
    settings_[SettingNstp].integer = 10;
    settings_[SettingMaxt].real = 1e10;
    settings_[SettingMint].real = 1e-10;
    settings_[SettingNciout].integer = 1;
    settings_[SettingMxoitg].integer = 6;
    settings_[SettingOmfitg].integer = 222;
    Register();
    OrvoSimRuntime* runtime = OrvoSimRuntime::GetInstance();
    instance_ = runtime->OrvoSimCreateSystemInstance();
    runtime->OrvoSimAddStatusCallback(instance_, 1, &StatusCallback);
}

OperatorTestModel::~OperatorTestModel()
{
    OrvoSimRuntime::GetInstance()->OrvoSimDeinitialize();
    current = nullptr;
}

void OperatorTestModel::Register()
{
    OrvoSimRuntime* runtime = OrvoSimRuntime::GetInstance();
    runtime->OrvoSimInitialize();
    OrvoSimSetSystemInfo(kNumVariables, 1, 0, 0, 0, 1, 0, &Bind, &Simulate, &Section, 0);
    auto add = [](uint32_t variable, const char* name, uint32_t dataType, uint32_t symbolType) {
        OrvoSimSetVariableDescriptor(variable, name, dataType, symbolType, 0, 0, 0, 0, 0, 0, -1.0,
                                     -1.0);
        OrvoSimSetVariableExtendedInfo(variable, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    };
    add(1, "t", 4, 0);
    add(2, "x", 4, 2);
    add(3, "z99999", 4, 3);
    add(4, "z99998", 4, 4);
    for (uint32_t slot = 0; slot < NumSettings; ++slot) {
        const std::string name = "setting" + std::to_string(slot);
        add(kFirstSetting + slot, name.c_str(), SettingDataType(slot), slot <= 5 ? 6 + slot : 13);
    }
}

int32_t OperatorTestModel::Bind(uint32_t instance)
{
    OperatorTestModel& model = *current;
    OrvoSimSetVariablePointer(instance, 1, &model.time_);
    OrvoSimSetVariablePointer(instance, 2, &model.state_);
    OrvoSimSetVariablePointer(instance, 3, &model.derivative_);
    OrvoSimSetVariablePointer(instance, 4, &model.initialCondition_);
    for (uint32_t slot = 0; slot < NumSettings; ++slot)
        OrvoSimSetVariablePointer(instance, kFirstSetting + slot, &model.settings_[slot]);
    return 1;
}

void OperatorTestModel::Simulate(uint32_t) {}

void OperatorTestModel::Section(uint32_t instance, uint32_t section)
{
    OperatorTestModel& model = *current;
    if (section != 500) return;
    model.derivative_ = model.rate;
    model.initialCondition_ = model.initialValue;
    if (model.onDerivative) model.onDerivative(instance);
}

void OperatorTestModel::StatusCallback(uint32_t, uint32_t, const char* text)
{
    current->messages.emplace_back(text);
}

uint8_t& OperatorTestModel::StopFlag() { return settings_[SettingZzstopflag].flag; }
uint8_t& OperatorTestModel::StepStop() { return settings_[SettingZzstepstop].flag; }
int32_t& OperatorTestModel::Algorithm() { return settings_[SettingIalg].integer; }

void OperatorTestModel::Initialize()
{
    zznits(instance_);
    zzrset(instance_);
}

void OperatorTestModel::RunUntil(double stopTime)
{
    while (!StopFlag() && time_ < stopTime - 1e-9) OrvoSimIntegrate(instance_);
}
