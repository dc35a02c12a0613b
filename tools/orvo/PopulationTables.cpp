#include "PopulationTables.h"

#include <map>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>
#include <thread>
#include <sys/mman.h>
#include <unistd.h>

#include "ContentHash.h"
#include "CsvReader.h"
#include "CsvWriter.h"
#include "NumberText.h"
#include "Statistics.h"
#include "ValueParser.h"

namespace {

// A numeric field after its comma; a missing value is an empty field.
void AppendCell(std::string& line, double value) {
    line += ',';
    if (!std::isnan(value)) AppendReal(line, value);
}

std::string TimeColumn(const std::string& output, double time) { return output + "@" + FormatReal(time); }

bool ReadCount(std::string_view text, std::size_t& value) {
    const char* last = text.data() + text.size();
    const auto [end, ec] = std::from_chars(text.data(), last, value);
    return ec == std::errc() && end == last && !text.empty();
}

// Leading columns of runs.csv and of part files.
void AddRunColumns(const PopulationColumns& table, std::vector<std::string>& header) {
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

bool MeasureOutput(const PopulationColumns& table, const RunRecord& record, std::size_t output,
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

std::size_t FailedRuns(const PopulationTable& table) { return CountRuns(table).failed; }

void RunOrder::Add(RunRecord&& record) {
    if (record.run != next_) {
        early_.emplace(record.run, std::move(record));
        return;
    }
    hand_(std::move(record));
    ++next_;
    for (auto waiting = early_.begin(); waiting != early_.end() && waiting->first == next_;
         waiting = early_.erase(waiting), ++next_)
        hand_(std::move(waiting->second));
}

void RunCounts::Add(const RunRecord& record) {
    ++runs;
    if (record.status != RunStatus::Ok) ++failed;
    if (record.status == RunStatus::Lost) ++lost;
}

RunCounts CountRuns(const PopulationTable& table) {
    RunCounts counts;
    for (const RunRecord& record : table.records) counts.Add(record);
    return counts;
}

RunsTableWriter::RunsTableWriter(const PopulationColumns& columns, std::ostream& out)
    : columns_(columns), out_(out) {
    std::vector<std::string> header;
    AddRunColumns(columns_, header);
    for (const std::string& output : columns_.outputs) {
        for (const std::size_t at : columns_.atIndices) header.push_back(TimeColumn(output, columns_.times[at]));
        for (const char* measure : {"_max", "_tmax", "_auc", "_final"}) header.push_back(output + measure);
    }
    CsvWriter(out_).WriteRow(header);
}

// The row CsvWriter would write from AddRunFields and the cells, built in
// one line: numbers never need quotes.
void RunsTableWriter::Add(const RunRecord& record) {
    line_ = std::to_string(record.run);
    for (const double v : record.inputs) AppendReal(line_ += ',', v);
    (line_ += ',') += RunStatusName(record.status);
    CsvWriter::AppendField(line_ += ',', record.message);
    for (std::size_t o = 0; o < columns_.outputs.size(); ++o) {
        for (const std::size_t at : columns_.atIndices) AppendCell(line_, columns_.Value(record, o, at));
        OutputMeasures m;
        if (record.status == RunStatus::Ok && MeasureOutput(columns_, record, o, m)) {
            for (const double v : {m.max, m.tmax, m.auc, m.final}) AppendReal(line_ += ',', v);
        } else {
            line_ += ",,,,";
        }
    }
    line_ += '\n';
    out_ << line_;
}

void WriteRunsTable(const PopulationTable& table, std::ostream& out) {
    RunsTableWriter writer(table, out);
    for (const RunRecord& record : table.records) writer.Add(record);
}

std::vector<PopulationSummary> SummarizeTable(const PopulationTable& table) {
    std::vector<PopulationSummary> summaries;
    std::vector<double> column;
    ColumnSummarizer summarizer;
    for (std::size_t o = 0; o < table.outputs.size(); ++o)
        for (std::size_t i = 0; i < table.times.size(); ++i) {
            column.clear();
            for (const RunRecord& record : table.records)
                column.push_back(record.status == RunStatus::Ok ? table.Value(record, o, i) : NAN);
            summaries.push_back(summarizer.Next(column));
        }
    return summaries;
}

void WriteSummaryRows(const PopulationColumns& columns, const std::vector<PopulationSummary>& summaries,
                      std::ostream& out) {
    CsvWriter writer(out);
    std::vector<std::string> row = {"variable", "time", "n", "mean", "sd"};
    row.insert(row.end(), std::begin(kSummaryPercentileNames), std::end(kSummaryPercentileNames));
    writer.WriteRow(row);
    // The rows WriteRow would write, built in one line: numbers need no quotes.
    std::string line;
    for (std::size_t o = 0; o < columns.outputs.size(); ++o)
        for (std::size_t i = 0; i < columns.times.size(); ++i) {
            const PopulationSummary& s = summaries[o * columns.times.size() + i];
            line.clear();
            CsvWriter::AppendField(line, columns.outputs[o]);
            AppendReal(line += ',', columns.times[i]);
            (line += ',') += std::to_string(s.n);
            AppendCell(line, s.mean);
            AppendCell(line, s.sd);
            for (const double p : s.percentiles) AppendCell(line, p);
            line += '\n';
            out << line;
        }
}

void WriteSummaryTable(const PopulationTable& table, std::ostream& out) {
    WriteSummaryRows(table, SummarizeTable(table), out);
}

LargeBlock::LargeBlock(std::size_t count) {
    constexpr std::size_t kHugePage = std::size_t{2} << 20;
    const std::size_t bytes = count * sizeof(double);
    if (bytes >= kHugePage) {
        const std::size_t mapped = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        void* at = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (at != MAP_FAILED) {
            madvise(at, mapped, MADV_HUGEPAGE);  // advice: without it the block still works
            data_ = static_cast<double*>(at);
            bytes_ = mapped;
            return;
        }
    }
    data_ = new double[count];
}

LargeBlock::~LargeBlock() {
    if (bytes_ > 0)
        munmap(data_, bytes_);
    else
        delete[] data_;
}

LargeBlock::LargeBlock(LargeBlock&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}

LargeBlock& LargeBlock::operator=(LargeBlock&& other) noexcept {
    if (this != &other) {
        LargeBlock gone(std::move(*this));
        data_ = std::exchange(other.data_, nullptr);
        bytes_ = std::exchange(other.bytes_, 0);
    }
    return *this;
}

SummarySpill::~SummarySpill() {
    if (fd_ >= 0) close(fd_);
}

bool SummarySpill::Open(const std::string& directory, std::size_t values, std::string& error,
                        std::size_t blockBytes, std::size_t runs) {
    std::string path = (directory.empty() ? std::string(".") : directory) + "/.orvo-summary-XXXXXX";
    fd_ = mkstemp(path.data());
    if (fd_ < 0) {
        error = "cannot create a scratch file in '" + directory + "': " + std::strerror(errno);
        return false;
    }
    unlink(path.c_str());
    values_ = values;
    blockRuns_ = std::max<std::size_t>(16, blockBytes / sizeof(double) / std::max<std::size_t>(1, values));
    blockRuns_ = std::max<std::size_t>(1, std::min(blockRuns_, runs));
    return true;
}

void SummarySpill::Add(const RunRecord& record) {
    // A full block goes to the file when the next run comes: a population
    // that fits in one block never touches it.
    if (inBlock_ == blockRuns_) {
        WriteBlock();  // a failure is kept for Summaries
        inBlock_ = 0;
        ++blocks_;
    }
    // Taken when the first run comes, not before the workers are forked.
    if (!block_) block_ = LargeBlock(values_ * blockRuns_);
    double* row = block_.get() + inBlock_ * values_;
    if (record.status == RunStatus::Ok && record.values.size() == values_)
        std::copy(record.values.begin(), record.values.end(), row);
    else
        std::fill(row, row + values_, NAN);
    ++inBlock_;
}

// The block holds runs row by row; the file holds each block column by
// column, `inBlock_` values a column.
bool SummarySpill::WriteBlock() {
    if (!error_.empty()) return false;
    const off_t start = static_cast<off_t>(blocks_ * blockRuns_ * values_ * sizeof(double));
    std::vector<double> column(inBlock_);
    for (std::size_t c = 0; c < values_; ++c) {
        for (std::size_t r = 0; r < inBlock_; ++r) column[r] = block_[r * values_ + c];
        const char* bytes = reinterpret_cast<const char*>(column.data());
        std::size_t size = inBlock_ * sizeof(double);
        off_t at = start + static_cast<off_t>(c * inBlock_ * sizeof(double));
        while (size > 0) {
            const ssize_t written = pwrite(fd_, bytes, size, at);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) {
                error_ = std::string("writing the summary's scratch file failed: ") +
                         (written < 0 ? std::strerror(errno) : "no space");
                return false;
            }
            bytes += written;
            at += written;
            size -= static_cast<std::size_t>(written);
        }
    }
    return true;
}

bool SummarySpill::Summaries(std::vector<PopulationSummary>& summaries, std::string& error) {
    summaries.clear();
    if (fd_ < 0) {
        error = "the summary's scratch file is not open";
        return false;
    }
    if (blocks_ == 0) {
        // Everything in the block: a few columns at a time, so that each row's
        // cache line is read once for all of them.
        summaries.resize(values_);
        const auto summarize = [&](std::size_t first, std::size_t end) {
            constexpr std::size_t kColumns = 8;
            std::vector<double> columns[kColumns];
            ColumnSummarizer summarizer;
            for (std::size_t c = first; c < end; c += kColumns) {
                const std::size_t group = std::min(kColumns, end - c);
                for (std::size_t j = 0; j < group; ++j) columns[j].resize(inBlock_);
                for (std::size_t r = 0; r < inBlock_; ++r) {
                    const double* row = block_.get() + r * values_ + c;
                    for (std::size_t j = 0; j < group; ++j) columns[j][r] = row[j];
                }
                for (std::size_t j = 0; j < group; ++j) summaries[c + j] = summarizer.Next(columns[j]);
            }
        };
        // The workers are done by now: a large table is shared with a second
        // thread, each column's summary the same whichever computes it.
        const std::size_t half = values_ / 2;
        bool shared = false;
        if (values_ * inBlock_ >= (std::size_t{1} << 16) && std::thread::hardware_concurrency() > 1) {
            try {
                std::thread second(summarize, half, values_);
                try {
                    summarize(0, half);
                } catch (...) {
                    second.join();
                    throw;
                }
                second.join();
                shared = true;
            } catch (const std::system_error&) {  // no thread to be had: the first computes all
            }
        }
        if (!shared) summarize(0, values_);
        block_.reset();
        return true;
    }
    if (inBlock_ > 0) WriteBlock();
    if (!error_.empty()) {
        error = error_;
        return false;
    }
    block_.reset();
    std::vector<double> column, values;
    ColumnSummarizer summarizer;
    for (std::size_t c = 0; c < values_; ++c) {
        values.clear();
        for (std::size_t b = 0; b <= blocks_; ++b) {
            const std::size_t runs = b < blocks_ ? blockRuns_ : inBlock_;
            if (runs == 0) continue;
            column.resize(runs);
            const off_t at = static_cast<off_t>((b * blockRuns_ * values_ + c * runs) * sizeof(double));
            char* bytes = reinterpret_cast<char*>(column.data());
            std::size_t size = runs * sizeof(double), done = 0;
            while (done < size) {
                const ssize_t got = pread(fd_, bytes + done, size - done, at + static_cast<off_t>(done));
                if (got < 0 && errno == EINTR) continue;
                if (got <= 0) {
                    error = std::string("reading the summary's scratch file failed: ") +
                            (got < 0 ? std::strerror(errno) : "it is shorter than written");
                    return false;
                }
                done += static_cast<std::size_t>(got);
            }
            values.insert(values.end(), column.begin(), column.end());
        }
        summaries.push_back(summarizer.Next(values));
    }
    return true;
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

// Part files carry every value of every run, which exact percentiles need:
// each as the 64 bits of the double in 11 characters of base 64 (4 + 10 x 6
// bits), all of a run in one field. That is 11 bytes a value, against about
// 18 for the shortest exact decimal, and no rounding either way.
constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kPackedWidth = 11;

void PackValues(const std::vector<double>& values, std::string& text) {
    text.resize(values.size() * kPackedWidth);
    char* out = text.data();
    for (const double v : values) {
        uint64_t bits = 0;
        std::memcpy(&bits, &v, sizeof bits);
        for (std::size_t k = kPackedWidth; k-- > 0; bits >>= 6) out[k] = kDigits[bits & 63];
        out += kPackedWidth;
    }
}

bool UnpackValues(std::string_view text, std::size_t count, std::vector<double>& values) {
    static const auto digitValue = [] {
        std::array<int8_t, 256> table{};
        table.fill(-1);
        for (int k = 0; k < 64; ++k) table[static_cast<unsigned char>(kDigits[k])] = static_cast<int8_t>(k);
        return table;
    }();
    if (text.size() != count * kPackedWidth) return false;
    values.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        uint64_t bits = 0;
        for (std::size_t k = 0; k < kPackedWidth; ++k) {
            const int8_t digit = digitValue[static_cast<unsigned char>(text[i * kPackedWidth + k])];
            if (digit < 0 || (k == 0 && digit > 15)) return false;
            bits = bits << 6 | static_cast<uint64_t>(digit);
        }
        std::memcpy(&values[i], &bits, sizeof bits);
    }
    return true;
}

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
PartWriter::PartWriter(const PartHeader& header, const PopulationColumns& columns, std::ostream& out)
    : destination_(out),
      hashing_(std::make_unique<HashingBuffer>(out.rdbuf(), hash_)),
      out_(hashing_.get()),
      writer_(out_) {
    out_ << "# orvo population part\n"
         << "# kind=" << header.kind << "\n"
         << "# hash=" << header.hash << "\n"
         << "# seed=" << header.seed << "\n"
         << "# shard=" << header.shard << "/" << header.shards << "\n"
         << "# runs=" << header.firstRun << "-" << header.endRun << "/" << header.totalRuns << "\n"
         << "# values=packed\n";
    for (const auto& [key, value] : header.extra) out_ << "# " << key << "=" << value << "\n";
    AddRunColumns(columns, row_);
    for (const std::string& output : columns.outputs)
        for (const double t : columns.times) row_.push_back(TimeColumn(output, t));
    writer_.WriteRow(row_);
}

PartWriter::~PartWriter() = default;

void PartWriter::Add(const RunRecord& record) {
    row_.clear();
    AddRunFields(record, row_);
    row_.emplace_back();
    PackValues(record.values, row_.back());
    writer_.WriteRow(row_);
}

void PartWriter::End() {
    out_.flush();
    if (!out_) destination_.setstate(std::ios::badbit);
    destination_ << "# end checksum=" << hash_.Hex() << "\n";
}

void WritePart(const PartHeader& header, const PopulationTable& table, std::ostream& destination) {
    PartWriter writer(header, table, destination);
    for (const RunRecord& record : table.records) writer.Add(record);
    writer.End();
}

bool PartReader::Fail(const std::string& what, std::string& error) const {
    error = fileName_ + ":" + std::to_string(lineNumber_) + ": " + what;
    return false;
}

bool PartReader::ReadHeader(PartHeader& header, PopulationColumns& columns, std::string& error) {
    header = PartHeader{};
    columns = PopulationColumns{};
    if (!std::getline(in_, line_) || line_ != "# orvo population part") {
        lineNumber_ = 1;
        return Fail("not an orvo part file", error);
    }
    ++lineNumber_;
    hash_.Add(line_ + "\n");
    bool haveShard = false, haveRuns = false;
    while (std::getline(in_, line_)) {
        ++lineNumber_;
        if (line_.rfind("# end", 0) == 0) return Fail("the part ends before its column header", error);
        hash_.Add(line_ + "\n");
        if (line_.rfind("# ", 0) == 0) {
            const std::string entry = line_.substr(2);
            const std::size_t equals = entry.find('=');
            if (equals == std::string::npos) return Fail("expected '# key=value'", error);
            const std::string key = entry.substr(0, equals), value = entry.substr(equals + 1);
            if (key == "kind") {
                header.kind = value;
            } else if (key == "hash") {
                header.hash = value;
            } else if (key == "seed") {
                std::size_t seed = 0;
                if (!ReadCount(value, seed)) return Fail("bad seed", error);
                header.seed = seed;
            } else if (key == "shard") {
                const std::size_t slash = value.find('/');
                if (slash == std::string::npos || !ReadCount(std::string_view(value).substr(0, slash), header.shard) ||
                    !ReadCount(std::string_view(value).substr(slash + 1), header.shards) || header.shards == 0 ||
                    header.shard >= header.shards)
                    return Fail("bad shard '" + value + "'", error);
                haveShard = true;
            } else if (key == "runs") {
                const std::size_t dash = value.find('-'), slash = value.find('/');
                if (dash == std::string::npos || slash == std::string::npos || slash < dash ||
                    !ReadCount(std::string_view(value).substr(0, dash), header.firstRun) ||
                    !ReadCount(std::string_view(value).substr(dash + 1, slash - dash - 1), header.endRun) ||
                    !ReadCount(std::string_view(value).substr(slash + 1), header.totalRuns) ||
                    header.firstRun > header.endRun || header.endRun > header.totalRuns)
                    return Fail("bad runs '" + value + "'", error);
                haveRuns = true;
            } else if (key == "values") {
                // Parts of older versions carry the values as decimal fields.
                if (value != "packed") return Fail("unknown values '" + value + "'", error);
                packed_ = true;
            } else {
                header.extra.emplace_back(key, value);
            }
            continue;
        }
        // The column header.
        if (!haveShard || !haveRuns || header.kind.empty() || header.hash.empty())
            return Fail("the header lacks kind, hash, shard or runs", error);
        if (!SplitCsvRecord(line_, fields_)) return Fail("unclosed quote", error);
        if (fields_.empty() || fields_[0] != "run") return Fail("expected the column header", error);
        for (statusColumn_ = 1; statusColumn_ < fields_.size() && fields_[statusColumn_] != "status"; ++statusColumn_)
            columns.inputs.push_back(fields_[statusColumn_]);
        if (statusColumn_ + 1 >= fields_.size() || fields_[statusColumn_ + 1] != "message")
            return Fail("expected status and message columns", error);
        for (std::size_t c = statusColumn_ + 2; c < fields_.size(); ++c) {
            const std::size_t at = fields_[c].rfind('@');
            double time = 0.0;
            if (at == std::string::npos || !ReadReal(std::string_view(fields_[c]).substr(at + 1), time))
                return Fail("bad column '" + fields_[c] + "'", error);
            const std::string output = fields_[c].substr(0, at);
            if (columns.outputs.empty() || columns.outputs.back() != output) columns.outputs.push_back(output);
            if (columns.outputs.size() == 1) columns.times.push_back(time);
        }
        values_ = columns.Values();
        if (values_ != fields_.size() - statusColumn_ - 2)
            return Fail("the output columns do not form one grid", error);
        header_ = header;
        return true;
    }
    return Fail("the part is incomplete (no column header)", error);
}

bool PartReader::Next(RunRecord& record, std::string& error) {
    error.clear();
    if (ended_) return false;
    while (std::getline(in_, line_)) {
        ++lineNumber_;
        if (line_.rfind("# end", 0) == 0) {
            if (line_ != "# end checksum=" + hash_.Hex())
                return Fail("the part's content does not match the checksum of its end line: it was changed "
                            "or cut after it was written",
                            error);
            if (std::getline(in_, line_)) {
                ++lineNumber_;
                return Fail("text after the end line", error);
            }
            if (runsRead_ != header_.endRun - header_.firstRun)
                return Fail(std::to_string(runsRead_) + " runs, the header says " +
                                std::to_string(header_.endRun - header_.firstRun),
                            error);
            ended_ = true;
            return false;
        }
        hash_.Add(line_ + "\n");
        if (line_.rfind("# ", 0) == 0) return Fail("a header line after the column header", error);
        if (!SplitCsvRecord(line_, fields_)) return Fail("unclosed quote", error);
        if (fields_.size() != statusColumn_ + 2 + (packed_ ? 1 : values_))
            return Fail(std::to_string(fields_.size()) + " fields, the header has more or fewer", error);
        std::size_t run = 0;
        if (!ReadCount(fields_[0], run)) return Fail("bad run index '" + fields_[0] + "'", error);
        if (run != header_.firstRun + runsRead_ || run >= header_.endRun)
            return Fail("run " + std::to_string(run) + " out of order (expected run " +
                            std::to_string(header_.firstRun + runsRead_) + ")",
                        error);
        record.run = static_cast<uint32_t>(run);
        record.inputs.clear();
        for (std::size_t c = 1; c < statusColumn_; ++c) {
            double v = 0.0;
            if (!ReadReal(fields_[c], v)) return Fail("bad value '" + fields_[c] + "'", error);
            record.inputs.push_back(v);
        }
        if (!ParseRunStatus(fields_[statusColumn_], record.status))
            return Fail("bad status '" + fields_[statusColumn_] + "'", error);
        record.message = fields_[statusColumn_ + 1];
        record.values.clear();
        if (packed_ && !UnpackValues(fields_.back(), values_, record.values))
            return Fail("bad packed values in run " + std::to_string(run), error);
        for (std::size_t c = statusColumn_ + 2; !packed_ && c < fields_.size(); ++c) {
            double v = NAN;
            if (!fields_[c].empty() && !ReadReal(fields_[c], v)) return Fail("bad value '" + fields_[c] + "'", error);
            record.values.push_back(v);
        }
        ++runsRead_;
        return true;
    }
    if (in_.bad()) return Fail("cannot read the file", error);
    return Fail("the part is incomplete (no end line)", error);
}

bool ReadPart(std::istream& in, const std::string& fileName, PartHeader& header, PopulationTable& table,
              std::string& error) {
    table = PopulationTable{};
    PartReader reader(in, fileName);
    if (!reader.ReadHeader(header, table, error)) return false;
    RunRecord record;
    while (reader.Next(record, error)) table.records.push_back(record);
    return reader.Done();
}

bool VerifyPartChecksum(std::istream& in, const std::string& fileName, std::string& error) {
    ContentHash hash;
    std::string line;
    int lineNumber = 0;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (line.rfind("# end", 0) == 0) {
            if (line != "# end checksum=" + hash.Hex()) break;
            if (std::getline(in, line)) {
                error = fileName + ":" + std::to_string(lineNumber + 1) + ": text after the end line";
                return false;
            }
            return true;
        }
        hash.Add(line);
        hash.Add("\n");
    }
    error = fileName + ":" + std::to_string(lineNumber) + ": " +
            (in ? "the part's content does not match the checksum of its end line: it was changed or cut after it "
                  "was written"
                : "the part is incomplete (no end line)");
    return false;
}

bool CheckParts(const std::vector<std::string>& names, const std::vector<PartHeader>& headers,
                const std::vector<PopulationColumns>& columns, std::vector<std::size_t>& order, std::string& error) {
    order.clear();
    if (headers.empty()) {
        error = "no part files given";
        return false;
    }
    const PartHeader& first = headers.front();
    // Sized by the parts given, not by what a header claims.
    std::map<std::size_t, std::size_t> seen;  // shard -> part
    for (std::size_t p = 0; p < headers.size(); ++p) {
        const PartHeader& h = headers[p];
        const PopulationColumns& t = columns[p];
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
        else if (t.inputs != columns[0].inputs || t.outputs != columns[0].outputs || t.times != columns[0].times)
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
    for (const auto& [shard, part] : seen) order.push_back(part);
    return true;
}

bool JoinParts(const std::vector<std::string>& names, const std::vector<PartHeader>& headers,
               std::vector<PopulationTable>& tables, PopulationTable& joined, std::string& error) {
    const std::vector<PopulationColumns> columns(tables.begin(), tables.end());
    std::vector<std::size_t> order;
    if (!CheckParts(names, headers, columns, order, error)) return false;
    joined = PopulationTable{};
    static_cast<PopulationColumns&>(joined) = columns[0];
    joined.atIndices.clear();
    for (const std::size_t part : order)
        for (RunRecord& r : tables[part].records) joined.records.push_back(std::move(r));
    return true;
}
