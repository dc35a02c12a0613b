#include "PopulationTables.h"

#include <map>

#include <algorithm>
#include <charconv>
#include <cmath>

#include "ContentHash.h"
#include "CsvReader.h"
#include "CsvWriter.h"
#include "NumberText.h"
#include "Statistics.h"
#include "ValueParser.h"

namespace {

// Missing values are empty fields.
std::string Cell(double value) { return std::isnan(value) ? std::string() : FormatReal(value); }

std::string TimeColumn(const std::string& output, double time) { return output + "@" + FormatReal(time); }

bool ReadCount(std::string_view text, std::size_t& value) {
    const char* last = text.data() + text.size();
    const auto [end, ec] = std::from_chars(text.data(), last, value);
    return ec == std::errc() && end == last && !text.empty();
}

// Leading columns of runs.csv and of part files.
void AddRunColumns(const PopulationTable& table, std::vector<std::string>& header) {
    header.push_back("run");
    header.insert(header.end(), table.inputs.begin(), table.inputs.end());
    header.push_back("status");
    header.push_back("message");
}

void AddRunFields(const RunRecord& record, std::vector<std::string>& row) {
    row.push_back(std::to_string(record.run));
    for (const double v : record.inputs) row.push_back(FormatReal(v));
    row.push_back(RunStatusName(record.status));
    row.push_back(record.message);
}

}  // namespace

bool MeasureOutput(const PopulationTable& table, const RunRecord& record, std::size_t output,
                   OutputMeasures& measures) {
    const std::size_t n = table.times.size();
    measures = OutputMeasures{};
    for (std::size_t i = 0; i < n; ++i) {
        const double v = table.Value(record, output, i);
        if (!std::isfinite(v)) return false;
        if (i == 0 || v > measures.max) {
            measures.max = v;
            measures.tmax = table.times[i];
        }
        if (i > 0)
            measures.auc += 0.5 * (v + table.Value(record, output, i - 1)) * (table.times[i] - table.times[i - 1]);
        measures.final = v;
    }
    return n > 0;
}

std::size_t FailedRuns(const PopulationTable& table) {
    return static_cast<std::size_t>(std::count_if(table.records.begin(), table.records.end(),
                                                  [](const RunRecord& r) { return r.status != RunStatus::Ok; }));
}

void WriteRunsTable(const PopulationTable& table, std::ostream& out) {
    CsvWriter writer(out);
    std::vector<std::string> row;
    AddRunColumns(table, row);
    for (const std::string& output : table.outputs) {
        for (const std::size_t at : table.atIndices) row.push_back(TimeColumn(output, table.times[at]));
        for (const char* measure : {"_max", "_tmax", "_auc", "_final"}) row.push_back(output + measure);
    }
    writer.WriteRow(row);
    for (const RunRecord& record : table.records) {
        row.clear();
        AddRunFields(record, row);
        for (std::size_t o = 0; o < table.outputs.size(); ++o) {
            for (const std::size_t at : table.atIndices) row.push_back(Cell(table.Value(record, o, at)));
            OutputMeasures m;
            if (record.status == RunStatus::Ok && MeasureOutput(table, record, o, m)) {
                for (const double v : {m.max, m.tmax, m.auc, m.final}) row.push_back(FormatReal(v));
            } else {
                row.insert(row.end(), 4, std::string());
            }
        }
        writer.WriteRow(row);
    }
}

void WriteSummaryTable(const PopulationTable& table, std::ostream& out) {
    CsvWriter writer(out);
    std::vector<std::string> row = {"variable", "time", "n", "mean", "sd"};
    row.insert(row.end(), std::begin(kSummaryPercentileNames), std::end(kSummaryPercentileNames));
    writer.WriteRow(row);
    std::vector<double> values;
    for (std::size_t o = 0; o < table.outputs.size(); ++o)
        for (std::size_t i = 0; i < table.times.size(); ++i) {
            values.clear();
            for (const RunRecord& record : table.records) {
                const double v = table.Value(record, o, i);
                if (record.status == RunStatus::Ok && std::isfinite(v)) values.push_back(v);
            }
            const PopulationSummary s = Summarize(values);
            row = {table.outputs[o], FormatReal(table.times[i]), std::to_string(s.n), Cell(s.mean), Cell(s.sd)};
            for (const double p : s.percentiles) row.push_back(Cell(p));
            writer.WriteRow(row);
        }
}

std::string PartHeader::Extra(const std::string& key) const {
    for (const auto& [k, v] : extra)
        if (k == key) return v;
    return "";
}

std::pair<std::size_t, std::size_t> ShardRange(std::size_t total, std::size_t shard, std::size_t shards) {
    const auto at = [&](std::size_t k) {
        return static_cast<std::size_t>(static_cast<unsigned __int128>(total) * k / shards);
    };
    return {at(shard), at(shard + 1)};
}

std::string PartFileName(const PartHeader& header) {
    return "part-" + std::to_string(header.shard) + "-of-" + std::to_string(header.shards) + ".csv";
}

namespace {

// Passes everything through to `target` and hashes it on the way.
class HashingBuffer : public std::streambuf {
public:
    HashingBuffer(std::streambuf* target, ContentHash& hash) : target_(target), hash_(hash) {}

protected:
    int overflow(int c) override {
        if (c == traits_type::eof()) return traits_type::not_eof(c);
        const char ch = static_cast<char>(c);
        hash_.Add(std::string_view(&ch, 1));
        return target_->sputc(ch);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        hash_.Add(std::string_view(s, static_cast<std::size_t>(n)));
        return target_->sputn(s, n);
    }

private:
    std::streambuf* target_;
    ContentHash& hash_;
};

}  // namespace

// The hash of a part's bytes up to its end line, which carries it: merge
// refuses a part changed after it was written.
void WritePart(const PartHeader& header, const PopulationTable& table, std::ostream& destination) {
    ContentHash hash;
    HashingBuffer hashing(destination.rdbuf(), hash);
    std::ostream out(&hashing);
    out << "# orvo population part\n"
        << "# kind=" << header.kind << "\n"
        << "# hash=" << header.hash << "\n"
        << "# seed=" << header.seed << "\n"
        << "# shard=" << header.shard << "/" << header.shards << "\n"
        << "# runs=" << header.firstRun << "-" << header.endRun << "/" << header.totalRuns << "\n";
    for (const auto& [key, value] : header.extra) out << "# " << key << "=" << value << "\n";
    CsvWriter writer(out);
    std::vector<std::string> row;
    AddRunColumns(table, row);
    for (const std::string& output : table.outputs)
        for (const double t : table.times) row.push_back(TimeColumn(output, t));
    writer.WriteRow(row);
    for (const RunRecord& record : table.records) {
        row.clear();
        AddRunFields(record, row);
        for (const double v : record.values) row.push_back(Cell(v));
        writer.WriteRow(row);
    }
    out.flush();
    if (!out) destination.setstate(std::ios::badbit);
    destination << "# end checksum=" << hash.Hex() << "\n";
}

bool ReadPart(std::istream& in, const std::string& fileName, PartHeader& header, PopulationTable& table,
              std::string& error) {
    header = PartHeader{};
    table = PopulationTable{};
    std::string line;
    int lineNumber = 0;
    const auto fail = [&](const std::string& what) {
        error = fileName + ":" + std::to_string(lineNumber) + ": " + what;
        return false;
    };
    if (!std::getline(in, line) || line != "# orvo population part") {
        lineNumber = 1;
        return fail("not an orvo part file");
    }
    ++lineNumber;
    ContentHash hash;
    hash.Add(line + "\n");
    bool haveShard = false, haveRuns = false, ended = false;
    std::vector<std::string> fields;
    std::size_t statusColumn = 0;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (ended) return fail("text after the end line");
        if (line.rfind("# end", 0) == 0) {
            if (line != "# end checksum=" + hash.Hex())
                return fail("the part's content does not match the checksum of its end line: it was changed "
                            "or cut after it was written");
            ended = true;
            continue;
        }
        hash.Add(line + "\n");
        if (line.rfind("# ", 0) == 0) {
            const std::string entry = line.substr(2);
            const std::size_t equals = entry.find('=');
            if (equals == std::string::npos) return fail("expected '# key=value'");
            const std::string key = entry.substr(0, equals), value = entry.substr(equals + 1);
            if (key == "kind") {
                header.kind = value;
            } else if (key == "hash") {
                header.hash = value;
            } else if (key == "seed") {
                std::size_t seed = 0;
                if (!ReadCount(value, seed)) return fail("bad seed");
                header.seed = seed;
            } else if (key == "shard") {
                const std::size_t slash = value.find('/');
                if (slash == std::string::npos || !ReadCount(std::string_view(value).substr(0, slash), header.shard) ||
                    !ReadCount(std::string_view(value).substr(slash + 1), header.shards) || header.shards == 0 ||
                    header.shard >= header.shards)
                    return fail("bad shard '" + value + "'");
                haveShard = true;
            } else if (key == "runs") {
                const std::size_t dash = value.find('-'), slash = value.find('/');
                if (dash == std::string::npos || slash == std::string::npos || slash < dash ||
                    !ReadCount(std::string_view(value).substr(0, dash), header.firstRun) ||
                    !ReadCount(std::string_view(value).substr(dash + 1, slash - dash - 1), header.endRun) ||
                    !ReadCount(std::string_view(value).substr(slash + 1), header.totalRuns))
                    return fail("bad runs '" + value + "'");
                haveRuns = true;
            } else {
                header.extra.emplace_back(key, value);
            }
            continue;
        }
        if (!SplitCsvRecord(line, fields)) return fail("unclosed quote");
        if (statusColumn == 0) {
            // The column header.
            if (fields.empty() || fields[0] != "run") return fail("expected the column header");
            for (statusColumn = 1; statusColumn < fields.size() && fields[statusColumn] != "status"; ++statusColumn)
                table.inputs.push_back(fields[statusColumn]);
            if (statusColumn + 1 >= fields.size() || fields[statusColumn + 1] != "message")
                return fail("expected status and message columns");
            for (std::size_t c = statusColumn + 2; c < fields.size(); ++c) {
                const std::size_t at = fields[c].rfind('@');
                double time = 0.0;
                if (at == std::string::npos || !ReadReal(std::string_view(fields[c]).substr(at + 1), time))
                    return fail("bad column '" + fields[c] + "'");
                const std::string output = fields[c].substr(0, at);
                if (table.outputs.empty() || table.outputs.back() != output) table.outputs.push_back(output);
                if (table.outputs.size() == 1) table.times.push_back(time);
            }
            if (table.outputs.size() * table.times.size() != fields.size() - statusColumn - 2)
                return fail("the output columns do not form one grid");
            continue;
        }
        if (fields.size() != statusColumn + 2 + table.outputs.size() * table.times.size())
            return fail(std::to_string(fields.size()) + " fields, the header has more or fewer");
        RunRecord record;
        std::size_t run = 0;
        if (!ReadCount(fields[0], run)) return fail("bad run index '" + fields[0] + "'");
        record.run = static_cast<uint32_t>(run);
        for (std::size_t c = 1; c < statusColumn; ++c) {
            double v = 0.0;
            if (!ReadReal(fields[c], v)) return fail("bad value '" + fields[c] + "'");
            record.inputs.push_back(v);
        }
        if (!ParseRunStatus(fields[statusColumn], record.status))
            return fail("bad status '" + fields[statusColumn] + "'");
        record.message = fields[statusColumn + 1];
        for (std::size_t c = statusColumn + 2; c < fields.size(); ++c) {
            double v = NAN;
            if (!fields[c].empty() && !ReadReal(fields[c], v)) return fail("bad value '" + fields[c] + "'");
            record.values.push_back(v);
        }
        if (haveRuns && record.run != header.firstRun + table.records.size())
            return fail("run " + std::to_string(record.run) + " out of order (expected run " +
                        std::to_string(header.firstRun + table.records.size()) + ")");
        table.records.push_back(std::move(record));
    }
    if (!ended) return fail("the part is incomplete (no end line)");
    if (!haveShard || !haveRuns || header.kind.empty() || header.hash.empty())
        return fail("the header lacks kind, hash, shard or runs");
    if (table.records.size() != header.endRun - header.firstRun)
        return fail(std::to_string(table.records.size()) + " runs, the header says " +
                    std::to_string(header.endRun - header.firstRun));
    for (std::size_t k = 0; k < table.records.size(); ++k)
        if (table.records[k].run != header.firstRun + k)
            return fail("run " + std::to_string(table.records[k].run) + " out of order");
    return true;
}

bool JoinParts(const std::vector<std::string>& names, const std::vector<PartHeader>& headers,
               std::vector<PopulationTable>& tables, PopulationTable& joined, std::string& error) {
    if (headers.empty()) {
        error = "no part files given";
        return false;
    }
    const PartHeader& first = headers.front();
    // Sized by the parts given, not by what a header claims.
    std::map<std::size_t, std::size_t> seen;  // shard -> part
    for (std::size_t p = 0; p < headers.size(); ++p) {
        const PartHeader& h = headers[p];
        const PopulationTable& t = tables[p];
        std::string why;
        if (h.hash != first.hash)
            why = "its population differs (hash " + h.hash + ", not " + first.hash + ")";
        else if (h.kind != first.kind)
            why = "it is a " + h.kind + " part, not " + first.kind;
        else if (h.seed != first.seed)
            why = "its seed is " + std::to_string(h.seed) + ", not " + std::to_string(first.seed);
        else if (h.shards != first.shards || h.totalRuns != first.totalRuns || h.extra != first.extra)
            why = "it is one of " + std::to_string(h.shards) + " shards of " + std::to_string(h.totalRuns) +
                  " runs, not of " + std::to_string(first.shards) + " shards of " + std::to_string(first.totalRuns);
        else if (ShardRange(h.totalRuns, h.shard, h.shards) != std::make_pair(h.firstRun, h.endRun))
            why = "its runs are not those of shard " + std::to_string(h.shard) + "/" + std::to_string(h.shards);
        else if (t.inputs != tables[0].inputs || t.outputs != tables[0].outputs || t.times != tables[0].times)
            why = "its columns differ from those of '" + names[0] + "'";
        else if (seen.count(h.shard))
            why = "shard " + std::to_string(h.shard) + "/" + std::to_string(h.shards) + " is given twice (also '" +
                  names[seen[h.shard]] + "')";
        if (!why.empty()) {
            error = names[p] + ": " + why;
            return false;
        }
        seen[h.shard] = p;
    }
    if (seen.size() != first.shards) {
        std::string missing;
        std::size_t listed = 0;
        for (std::size_t k = 0; k < first.shards && listed < 20; ++k)
            if (!seen.count(k)) missing += (listed++ ? ", " : "") + std::to_string(k);
        if (first.shards - seen.size() > listed) missing += ", ...";
        error = "shard(s) " + missing + " of " + std::to_string(first.shards) + " missing";
        return false;
    }
    joined = PopulationTable{};
    joined.inputs = tables[0].inputs;
    joined.outputs = tables[0].outputs;
    joined.times = tables[0].times;
    for (const auto& [shard, part] : seen) {
        PopulationTable& t = tables[part];
        for (RunRecord& r : t.records) joined.records.push_back(std::move(r));
    }
    return true;
}
