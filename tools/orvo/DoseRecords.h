#pragma once

// Dosing regimens as data: a CSV file of dose records, read once, and turned
// for each run into a time-ordered list of changes that a host applies
// through the exported interface (run to the time, write, go on).
//
// Columns (header line, any order; only time, target and amount or value
// are required):
//   time      when the record applies (h)
//   target    a state (a bolus is added to it) or a constant (set to a value,
//             or the input an infusion runs into)
//   amount    a bolus, or with rate or duration the amount infused
//   value     a constant's new value
//   rate      infusion rate: the target constant is set to the rate until
//             the amount is in, then back to the value it had
//   duration  infusion duration (rate = amount / duration)
//   ii, addl  repeat every ii, addl more times
// Times, amounts, values, rates, durations and ii are numbers or the name of
// a model constant (read at the start of each run, so populations can
// sample them); addl is a whole number.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <istream>
#include <string>
#include <vector>

// A number, or the name of a model constant that holds it.
struct DoseQuantity {
    double number = 0.0;
    std::string name;  // empty: the number
    std::string where;  // FILE:LINE:COL of the field
    bool given = false;
};

struct DoseRecord {
    std::string where;  // FILE:LINE
    DoseQuantity time;
    std::string target;
    std::string targetWhere;
    DoseQuantity amount, value, rate, duration, ii;
    uint32_t addl = 0;
};

// Reads a dose-record file; `fileName` labels messages. False with `error`
// set (FILE:LINE:COL: message) on a malformed file.
bool ReadDoseRecords(std::istream& in, const std::string& fileName, std::vector<DoseRecord>& records,
                     std::string& error);

// What a host knows of a model variable, for checking targets and reading
// named quantities.
struct DoseTargetInfo {
    bool exists = false;
    bool state = false;     // a bolus may be added to it
    bool settable = false;  // a numeric scalar constant the host may set
    std::string why;        // why not, when neither
};

struct DoseModel {
    std::function<DoseTargetInfo(const std::string& name)> describe;
    // The current value of a named constant (called only for names that
    // describe() calls settable).
    std::function<double(const std::string& name)> read;
    // The run's start time: a record before it is refused.
    double start = 0.0;
};

// One change at one time.
struct DoseEvent {
    double time = 0.0;
    std::string target;
    enum class Kind { Add, Set, Restore } kind = Kind::Add;
    double value = 0.0;  // Restore: ignored, the value before the infusion is put back
    uint32_t infusion = 0;  // pairs a Set with its Restore (0: none)
    std::string where;
};

// Two times a host treats as one stop (rounding: 0.1 * 3 and 0.3).
inline bool SameDoseTime(double a, double b) { return std::fabs(a - b) <= 1e-12 * std::max(1.0, std::fabs(b)); }

struct DoseSchedule {
    // Ascending time, record order within a time; restores first among
    // events at one stop (SameDoseTime).
    std::vector<DoseEvent> events;
    std::vector<std::string> warnings;
};

// Expands the records for one run: named quantities read from the model,
// repeats unrolled, infusions into a set and a restore. False with `error`
// (FILE:LINE:COL: message) on a record no run can mean (overlapping
// infusions into one input, an infusion too short to end after its start),
// or one before the model's start. Records at or after
// `stopTime` are left out with a warning.
bool ScheduleDoses(const std::vector<DoseRecord>& records, const DoseModel& model, double stopTime,
                   DoseSchedule& schedule, std::string& error);
