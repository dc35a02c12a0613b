#include "DoseRecords.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <sstream>

namespace {

// A model with states a, b, constants dose, kin (settable) and a computed c.
DoseModel TestModel(std::map<std::string, double>& constants) {
    DoseModel model;
    model.describe = [&constants](const std::string& name) {
        DoseTargetInfo info;
        if (name == "a" || name == "b") {
            info.exists = info.state = true;
            info.why = "states start from their initial values";
        } else if (constants.count(name)) {
            info.exists = info.settable = true;
        } else if (name == "c") {
            info.exists = true;
            info.why = "it is computed by the model";
        }
        return info;
    };
    model.read = [&constants](const std::string& name) { return constants.at(name); };
    return model;
}

bool Schedule(const std::string& text, DoseSchedule& schedule, std::string& error, double stop = 100.0,
              double start = 0.0) {
    static std::map<std::string, double> constants;
    constants = {{"dose", 5.0}, {"kin", 0.0}, {"late", 250.0}, {"minus", -1.0}};
    std::istringstream in(text);
    std::vector<DoseRecord> records;
    DoseModel model = TestModel(constants);
    model.start = start;
    return ReadDoseRecords(in, "d.csv", records, error) && ScheduleDoses(records, model, stop, schedule, error);
}

TEST(DoseRecords, BadRecordsNameTheirPlace) {
    const struct {
        const char* text;
        const char* message;
    } cases[] = {
        {"", "d.csv:1:1: the file has no header line"},
        {"time,target,amount,volume\n", "d.csv:1:20: unknown column 'volume'"},
        {"time,amount\n1,2\n", "d.csv:1:1: the header lacks the column 'target'"},
        {"time,target,amount,time\n", "d.csv:1:20: column 'time' appears twice"},
        {"time,target,amount\n1,a\n", "d.csv:2:1: 2 fields, the header has 3"},
        {"time,target,amount\n1,q,5\n", "d.csv:2:3: unknown target 'q'"},
        {"time,target,amount\n1,c,5\n", "d.csv:2:3: 'c' is not a state: a bolus is added to a state"},
        {"time,target,value\n1,c,5\n", "d.csv:2:3: 'c' is not a constant the run may set: it is computed by the model"},
        {"time,target,value\n1,a,5\n", "d.csv:2:3: 'a' is not a constant the run may set"},
        {"time,target,amount\n-1,a,5\n", "d.csv:2:1: the time is -1, it must not be negative"},
        {"time,target,amount\nnan,a,5\n", "d.csv:2:1: 'nan' is not a model constant"},
        {"time,target,amount\n1,a,-5\n", "d.csv:2:5: the amount is -5, it must not be negative"},
        {"time,target,amount\n1,a,-1e-9\n", "d.csv:2:5: the amount is -1e-09, it must not be negative"},
        {"time,target,amount\n1,a,minus\n", "d.csv:2:5: the amount is -1, it must not be negative"},
        {"time,target,amount\n1,a,nope\n", "d.csv:2:5: 'nope' is not a model constant"},
        {"time,target,amount\n1,a,1e999\n", "d.csv:2:5: '1e999' is neither a number"},
        {"time,target,amount,addl\n1,a,5,3\n", "d.csv:2:1: addl repeats a record every ii, but ii is not given"},
        {"time,target,amount,ii,addl\n1,a,5,0,3\n", "d.csv:2:7: the dosing interval ii is 0, it must be positive"},
        {"time,target,amount,ii,addl\n1,a,5,2,-3\n", "d.csv:2:9: addl '-3' is not a whole number"},
        {"time,target,amount,value\n1,a,5,2\n", "d.csv:2:1: a record gives either an amount"},
        {"time,target,amount,rate,duration\n1,kin,5,1,2\n", "d.csv:2:11: give a rate or a duration, not both"},
        {"time,target,value,rate\n1,kin,5,1\n", "d.csv:2:1: an infusion needs the amount infused"},
        {"time,target,amount,rate\n1,kin,5,0\n", "d.csv:2:9: the rate is 0, it must be positive"},
        {"time,target,amount,duration\n0,kin,10,5\n2,kin,10,5\n",
         "d.csv:3:1: an infusion into 'kin' from t = 2 overlaps the one of d.csv:2"},
        // Overlaps found among many infusions into the input, not only the latest.
        {"time,target,amount,duration\n0,kin,10,10\n20,kin,1,1\n5,kin,1,1\n",
         "d.csv:4:1: an infusion into 'kin' from t = 5 overlaps the one of d.csv:2"},
        {"time,target,amount,duration\n0,kin,1,1\n2,kin,1,1\n0.5,kin,1,2\n",
         "d.csv:4:1: an infusion into 'kin' from t = 0.5 overlaps the one of d.csv:"},
        {"time,target,amount,duration\n5,kin,1,1\n0,kin,1,5.5\n",
         "d.csv:3:1: an infusion into 'kin' from t = 0 overlaps the one of d.csv:2"},
        // Its restore would fall at its start and leave the rate on for good.
        {"time,target,amount,duration\n1,kin,1,1e-17\n",
         "d.csv:2:9: the infusion into 'kin' at t = 1 lasts 1e-17, too short to end after it starts"},
        {"time,target,amount,rate\n50,kin,1,1e20\n", "d.csv:2:10: the infusion into 'kin' at t = 50 lasts 1e-20"},
        {"time,target,amount\n1,\"a,5\n", "d.csv:2:1: a quoted field is not closed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        DoseSchedule schedule;
        std::string error;
        EXPECT_FALSE(Schedule(c.text, schedule, error));
        EXPECT_EQ(error.rfind(c.message, 0), 0u) << error;
    }
    // A run starting at t = 10 takes a dose at its start, not one before it.
    DoseSchedule schedule;
    std::string error;
    EXPECT_TRUE(Schedule("time,target,amount\n10,a,5\n", schedule, error, 100.0, 10.0)) << error;
    EXPECT_FALSE(Schedule("time,target,amount\n10,a,5\n9.5,b,1\n", schedule, error, 100.0, 10.0));
    EXPECT_EQ(error, "d.csv:3:1: the dose at t = 9.5 is before the run's start, t = 10 (zzticg)");
}

TEST(DoseRecords, RepeatsInfusionsAndNamedQuantitiesExpandInTimeOrder) {
    DoseSchedule schedule;
    std::string error;
    // A byte-order mark, comments, any column order, names of constants.
    ASSERT_TRUE(Schedule("\xEF\xBB\xBFtarget,time,amount,ii,addl,duration\n"
                         "# oral doses\n"
                         "a,1.5,dose,12,2,\n"
                         "kin,0,10,,,4\n"
                         "kin,4,6,,,2\n"
                         "b,late,1,,,\n",
                         schedule, error))
        << error;
    struct Expected {
        double time;
        const char* target;
        DoseEvent::Kind kind;
        double value;
    };
    using K = DoseEvent::Kind;
    const Expected expected[] = {
        {0, "kin", K::Set, 2.5},  {1.5, "a", K::Add, 5}, {4, "kin", K::Restore, 0}, {4, "kin", K::Set, 3},
        {6, "kin", K::Restore, 0}, {13.5, "a", K::Add, 5}, {25.5, "a", K::Add, 5},
    };
    ASSERT_EQ(schedule.events.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(i);
        EXPECT_DOUBLE_EQ(schedule.events[i].time, expected[i].time);
        EXPECT_EQ(schedule.events[i].target, expected[i].target);
        EXPECT_EQ(schedule.events[i].kind, expected[i].kind);
        if (expected[i].kind != K::Restore) {
            EXPECT_DOUBLE_EQ(schedule.events[i].value, expected[i].value);
        }
    }
    // Each restore belongs to its own infusion.
    EXPECT_EQ(schedule.events[0].infusion, schedule.events[2].infusion);
    EXPECT_EQ(schedule.events[3].infusion, schedule.events[4].infusion);
    // The dose at t = 250 is past the stop time: warned, not applied.
    ASSERT_EQ(schedule.warnings.size(), 1u);
    EXPECT_NE(schedule.warnings[0].find("d.csv:6: a dose at t = 250"), std::string::npos) << schedule.warnings[0];

    // Repeats stop at the stop time.
    ASSERT_TRUE(Schedule("time,target,amount,ii,addl\n0,a,1,10,100\n", schedule, error, 35.0)) << error;
    EXPECT_EQ(schedule.events.size(), 4u);
    EXPECT_EQ(schedule.warnings.size(), 1u);
}

TEST(DoseRecords, InfusionsThatMeetUpToARoundingFollowEachOther) {
    DoseSchedule schedule;
    std::string error;
    using K = DoseEvent::Kind;
    // 0.2 + 0.1 ends a hair after 0.3: not an overlap, and the first one's
    // restore comes before the second one's start at that stop.
    ASSERT_TRUE(Schedule("time,target,amount,rate\n0.2,kin,1,10\n0.3,kin,1,10\n", schedule, error, 1000.0))
        << error;
    ASSERT_EQ(schedule.events.size(), 4u);
    const K kinds[] = {K::Set, K::Restore, K::Set, K::Restore};
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(schedule.events[i].kind, kinds[i]) << i;
    EXPECT_EQ(schedule.events[1].infusion, schedule.events[0].infusion);
    // A duration of 49 repeated every 49 h (1 / (1 / 49) is above 49).
    ASSERT_TRUE(Schedule("time,target,amount,duration,ii,addl\n0,kin,1,49,49,3\n", schedule, error, 1000.0))
        << error;
    ASSERT_EQ(schedule.events.size(), 8u);
    for (std::size_t i = 1; i + 1 < 8; i += 2) {
        EXPECT_EQ(schedule.events[i].kind, K::Restore) << i;
        EXPECT_EQ(schedule.events[i].time, schedule.events[i + 1].time) << i;
    }
    // Many repeats are checked against each other quickly: 200,000 back to
    // back, and one record that overlaps the last of them.
    ASSERT_TRUE(Schedule("time,target,amount,rate,ii,addl\n0,kin,1,1,1,199999\n", schedule, error, 1e6)) << error;
    EXPECT_EQ(schedule.events.size(), 400000u);
    EXPECT_FALSE(Schedule("time,target,amount,rate,ii,addl\n0,kin,1,1,1,199999\n199999.5,kin,1,1,,\n", schedule,
                          error, 1e6));
    EXPECT_EQ(error, "d.csv:3:1: an infusion into 'kin' from t = 199999.5 overlaps the one of d.csv:2");
}

}  // namespace
