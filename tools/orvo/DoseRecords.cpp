#include "DoseRecords.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>

#include "CsvReader.h"
#include "NumberText.h"
#include "ValueParser.h"

namespace {

constexpr uint32_t kMaxDosesPerRecord = 1000000;

const char* const kColumns[] = {"time", "target", "amount", "value", "rate", "duration", "ii", "addl"};

bool IsName(std::string_view text) {
    if (text.empty() || !(std::isalpha(static_cast<unsigned char>(text[0])) || text[0] == '_')) return false;
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; });
}

bool ParseQuantity(std::string_view text, const std::string& where, DoseQuantity& quantity, std::string& error) {
    quantity.where = where;
    if (text.empty()) return true;
    quantity.given = true;
    if (IsName(text)) {
        quantity.name = std::string(text);
        return true;
    }
    TypedValue value;
    std::string why;
    if (!ParseValue(4, text, value, why)) {
        error = where + ": '" + Clip(text) + "' is neither a number nor a constant's name";
        return false;
    }
    quantity.number = value.real;
    return true;
}

// Where each field of a line starts, 1-based, for FILE:LINE:COL.
std::vector<std::size_t> FieldColumns(std::string_view line) {
    std::vector<std::size_t> columns{1};
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') quoted = !quoted;
        if (line[i] == ',' && !quoted) columns.push_back(i + 2);
    }
    return columns;
}

}  // namespace

bool ReadDoseRecords(std::istream& in, const std::string& fileName, std::vector<DoseRecord>& records,
                     std::string& error) {
    records.clear();
    std::string line;
    std::vector<int> column;  // field position -> index in kColumns, -1 unknown
    std::size_t lineNumber = 0;
    bool header = true;
    std::vector<std::string> fields;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // A byte-order mark from spreadsheet exports.
        if (lineNumber == 1) DropByteOrderMark(line);
        const std::string at = fileName + ":" + std::to_string(lineNumber);
        if (Trim(line).empty() || Trim(line).front() == '#') continue;
        if (!SplitCsvRecord(line, fields)) {
            error = at + ":1: a quoted field is not closed";
            return false;
        }
        const std::vector<std::size_t> columns = FieldColumns(line);
        const auto where = [&](std::size_t field) { return at + ":" + std::to_string(columns[field]); };
        if (header) {
            header = false;
            for (std::size_t f = 0; f < fields.size(); ++f) {
                const std::string name(Trim(fields[f]));
                const auto known = std::find(std::begin(kColumns), std::end(kColumns), name);
                if (known == std::end(kColumns)) {
                    error = where(f) + ": unknown column '" + Clip(name) +
                            "' (time, target, amount, value, rate, duration, ii, addl)";
                    return false;
                }
                const int index = static_cast<int>(known - std::begin(kColumns));
                if (std::find(column.begin(), column.end(), index) != column.end()) {
                    error = where(f) + ": column '" + name + "' appears twice";
                    return false;
                }
                column.push_back(index);
            }
            for (const char* required : {"time", "target"}) {
                const int index = static_cast<int>(std::find(std::begin(kColumns), std::end(kColumns),
                                                             std::string(required)) - std::begin(kColumns));
                if (std::find(column.begin(), column.end(), index) == column.end()) {
                    error = at + ":1: the header lacks the column '" + required + "'";
                    return false;
                }
            }
            continue;
        }
        if (fields.size() != column.size()) {
            error = at + ":1: " + std::to_string(fields.size()) + " fields, the header has " +
                    std::to_string(column.size());
            return false;
        }
        DoseRecord record;
        record.where = at;
        for (std::size_t f = 0; f < fields.size(); ++f) {
            const std::string_view text = Trim(fields[f]);
            const std::string w = where(f);
            bool ok = true;
            switch (column[f]) {
                case 0: ok = ParseQuantity(text, w, record.time, error); break;
                case 1:
                    record.target = std::string(text);
                    record.targetWhere = w;
                    break;
                case 2: ok = ParseQuantity(text, w, record.amount, error); break;
                case 3: ok = ParseQuantity(text, w, record.value, error); break;
                case 4: ok = ParseQuantity(text, w, record.rate, error); break;
                case 5: ok = ParseQuantity(text, w, record.duration, error); break;
                case 6: ok = ParseQuantity(text, w, record.ii, error); break;
                case 7: {
                    if (text.empty()) break;
                    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), record.addl);
                    if (ec != std::errc() || end != text.data() + text.size() || record.addl > kMaxDosesPerRecord) {
                        error = w + ": addl '" + Clip(text) + "' is not a whole number from 0 to " +
                                std::to_string(kMaxDosesPerRecord);
                        return false;
                    }
                    break;
                }
            }
            if (!ok) return false;
        }
        const std::string lineWhere = at + ":1";
        if (!record.time.given) {
            error = lineWhere + ": a record needs a time";
            return false;
        }
        if (record.target.empty()) {
            error = lineWhere + ": a record needs a target";
            return false;
        }
        if (record.amount.given == record.value.given) {
            error = lineWhere + ": a record gives either an amount (a bolus or an infusion) or a value";
            return false;
        }
        if (record.rate.given && record.duration.given) {
            error = record.duration.where + ": give a rate or a duration, not both";
            return false;
        }
        if ((record.rate.given || record.duration.given) && !record.amount.given) {
            error = lineWhere + ": an infusion needs the amount infused";
            return false;
        }
        if (record.addl > 0 && !record.ii.given) {
            error = lineWhere + ": addl repeats a record every ii, but ii is not given";
            return false;
        }
        records.push_back(std::move(record));
    }
    if (header) {
        error = fileName + ":1:1: the file has no header line";
        return false;
    }
    return true;
}

bool ScheduleDoses(const std::vector<DoseRecord>& records, const DoseModel& model, double stopTime,
                   DoseSchedule& schedule, std::string& error) {
    schedule = {};
    // A quantity's number, or the named constant's current value.
    const auto read = [&](const DoseQuantity& q, double& out) {
        out = q.number;
        if (q.name.empty()) return true;
        const DoseTargetInfo info = model.describe(q.name);
        if (!info.exists || !info.settable) {
            error = q.where + ": '" + Clip(q.name) + "' is not a model constant" +
                    (info.exists && !info.why.empty() ? " (" + info.why + ")" : "");
            return false;
        }
        out = model.read(q.name);
        return true;
    };
    const auto valueOf = [&](const DoseQuantity& q, const char* what, bool positive, double& out) {
        if (!read(q, out)) return false;
        if (!std::isfinite(out) || out < 0.0 || (positive && out == 0.0)) {
            error = q.where + ": the " + what + " is " + (std::isfinite(out) ? FormatReal(out) : "not finite") +
                    (positive ? ", it must be positive" : ", it must not be negative");
            return false;
        }
        return true;
    };
    struct Interval {
        double end;
        std::string where;
    };
    // Each input's infusions by start; they do not overlap, so their ends
    // ascend too and only the latest ones starting before a new one's end
    // can overlap it.
    std::map<std::string, std::map<double, Interval>> infusions;
    uint32_t infusionId = 0;
    std::size_t skipped = 0;
    for (const DoseRecord& r : records) {
        const DoseTargetInfo target = model.describe(r.target);
        if (!target.exists) {
            error = r.targetWhere + ": unknown target '" + Clip(r.target) + "'";
            return false;
        }
        const bool infusion = r.rate.given || r.duration.given;
        if (r.amount.given && !infusion && !target.state) {
            error = r.targetWhere + ": '" + r.target + "' is not a state: a bolus is added to a state" +
                    (target.settable ? " (a constant takes a value, or an infusion with a rate or duration)" : "");
            return false;
        }
        if ((r.value.given || infusion) && !target.settable) {
            error = r.targetWhere + ": '" + r.target + "' is not a constant the run may set" +
                    (target.why.empty() ? "" : ": " + target.why);
            return false;
        }
        double time = 0.0, amount = 0.0, rate = 0.0, interval = 0.0, duration = 0.0;
        if (!valueOf(r.time, "time", false, time)) return false;
        if (time < model.start) {
            error = r.time.where + ": the dose at t = " + FormatReal(time) + " is before the run's start, t = " +
                    FormatReal(model.start) + " (zzticg)";
            return false;
        }
        if (r.amount.given && !valueOf(r.amount, "amount", false, amount)) return false;
        if (r.value.given) {
            if (!read(r.value, amount)) return false;
            if (!std::isfinite(amount)) {
                error = r.value.where + ": the value is not finite";
                return false;
            }
        }
        if (r.rate.given && !valueOf(r.rate, "rate", true, rate)) return false;
        if (r.duration.given) {
            if (!valueOf(r.duration, "duration", true, duration)) return false;
            rate = amount / duration;
        }
        if (r.addl > 0 && !valueOf(r.ii, "dosing interval ii", true, interval)) return false;
        // The duration as given: amount / (amount / duration) may exceed it
        // by a rounding, and back-to-back repeats would overlap.
        const double length = !infusion || rate == 0.0 ? 0.0 : r.duration.given ? duration : amount / rate;
        for (uint32_t k = 0; k <= r.addl; ++k) {
            const double at = time + static_cast<double>(k) * interval;
            if (!(at < stopTime)) {
                ++skipped;
                if (skipped == 1)
                    schedule.warnings.push_back(r.where + ": a dose at t = " + FormatReal(at) +
                                                " is not before the stop time " + FormatReal(stopTime) +
                                                " and is not applied");
                break;
            }
            if (!infusion) {
                schedule.events.push_back({at, r.target, r.value.given ? DoseEvent::Kind::Set : DoseEvent::Kind::Add,
                                           amount, 0, r.where});
                continue;
            }
            if (length == 0.0) continue;  // nothing to infuse
            const double end = at + length;
            if (SameDoseTime(end, at)) {
                // Its restore would come at its start, and the rate stay on.
                const DoseQuantity& given = r.duration.given ? r.duration : r.rate;
                error = given.where + ": the infusion into '" + r.target + "' at t = " + FormatReal(at) + " lasts " +
                        FormatReal(length) + ", too short to end after it starts; give a longer duration";
                return false;
            }
            // Infusions that meet (one ends as the next starts, up to a
            // rounding) do not overlap.
            std::map<double, Interval>& taken = infusions[r.target];
            for (auto it = taken.lower_bound(end); it != taken.begin();) {
                --it;
                const double otherStart = it->first, otherEnd = it->second.end;
                if (!(at < otherEnd) || SameDoseTime(otherEnd, at)) break;
                if (SameDoseTime(otherStart, end)) continue;
                error = r.where + ":1: an infusion into '" + r.target + "' from t = " + FormatReal(at) +
                        " overlaps the one of " + it->second.where;
                return false;
            }
            taken.emplace(at, Interval{end, r.where});
            ++infusionId;
            schedule.events.push_back({at, r.target, DoseEvent::Kind::Set, rate, infusionId, r.where});
            schedule.events.push_back({end, r.target, DoseEvent::Kind::Restore, 0.0, infusionId, r.where});
        }
    }
    if (skipped > 1) schedule.warnings.push_back(std::to_string(skipped) + " doses in all are not before the stop time");
    // Restores first among the events of one stop (times equal up to a
    // rounding, as a host groups them): a following infusion into the same
    // input then starts from the restored value.
    const auto isRestore = [](const DoseEvent& e) { return e.kind == DoseEvent::Kind::Restore; };
    std::stable_sort(schedule.events.begin(), schedule.events.end(),
                     [](const DoseEvent& a, const DoseEvent& b) { return a.time < b.time; });
    for (auto group = schedule.events.begin(); group != schedule.events.end();) {
        auto next = group;
        while (next != schedule.events.end() && SameDoseTime(next->time, group->time)) ++next;
        std::stable_partition(group, next, isRestore);
        group = next;
    }
    return true;
}
