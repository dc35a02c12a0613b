#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestModel.h"
#include "orvo/orvo.h"
#include "runtime/OrvoSimRuntime.h"

// Registers a test model, creates one instance and records its status texts.
class RuntimeFixture : public ::testing::Test {
protected:
    void Start(TestModelLayout layout) {
        TestModel::Get().Configure(std::move(layout));
        OrvoInitialize();
        instance = OrvoCreate();
        ASSERT_NE(instance, 0u);
        messages.clear();
        OrvoAddStatusCallback(instance, 0, &RuntimeFixture::Status);
    }

    void TearDown() override { OrvoFinalize(); }

    static void Status(uint32_t, uint32_t, const char* text) { messages.emplace_back(text); }

    TestModel& model() { return TestModel::Get(); }
    OrvoSimRuntime& runtime() { return *OrvoSimRuntime::GetInstance(); }
    OrvoSimSystemInstance& record() { return *runtime().GetSystemInstance(instance); }

    uint32_t instance = 0;
    static inline std::vector<std::string> messages;
};
