#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>

#include "ContentHash.h"
#include "PopulationFile.h"
#include "PopulationTables.h"

namespace {

bool Read(const std::string& text, PopulationDefinition& population, std::string& error) {
    std::istringstream in(text);
    population = PopulationDefinition{};
    return ReadPopulation(in, "p.scenario", population, error);
}

TEST(PopulationFile, ReadsSettingsDistributionsAndPopulationSettings) {
    PopulationDefinition population;
    std::string error;
    ASSERT_TRUE(
        Read("# women\ncint = 24\nbw_m ~ normal(72.3, 8.0) [45, 120]   # kg\n"
             "clf_uim_t(2) ~ triangular(1, 2, 3)\nRuns = 1000\nseed = 9\nsampling = lhs\n",
             population, error))
        << error;
    ASSERT_EQ(population.settings.size(), 1u);
    EXPECT_EQ(population.settings[0].origin, "p.scenario:2");
    ASSERT_EQ(population.sampled.size(), 2u);
    EXPECT_EQ(population.sampled[0].element.Text(), "bw_m");
    EXPECT_TRUE(population.sampled[0].distribution.truncated);
    EXPECT_EQ(population.sampled[0].distribution.upper, 120.0);
    EXPECT_EQ(population.sampled[1].element.Text(), "clf_uim_t(2)");
    EXPECT_EQ(population.sampled[1].origin, "p.scenario:4");
    EXPECT_EQ(population.runs, 1000u);
    EXPECT_EQ(population.seed, 9u);
    EXPECT_EQ(population.sampling, SamplingMethod::LatinHypercube);
}

TEST(PopulationFile, RefusesBadLinesNamingTheLine) {
    const char* const bad[] = {
        "runs = 0",
        "runs = -3",
        "runs = many",
        "seed = -1",
        "sampling = grid",
        "bw_m ~ normal(1, 0)",
        "bw_m ~",
        "~ uniform(1, 2)",
        "bw_m(0) ~ uniform(1, 2)",
        "bw m ~ uniform(1, 2)",
        "bw_m = ",
        "bw_m ~ uniform(1, 2)\nBW_M ~ uniform(1, 3)",  // sampled twice
        "bw_m = 70\nBW_M = 72",                      // set twice
    };
    for (const char* line : bad) {
        PopulationDefinition population;
        std::string error;
        EXPECT_FALSE(Read(std::string("cint = 24\n") + line + "\n", population, error)) << line;
        EXPECT_EQ(error.rfind("p.scenario:", 0), 0u) << line << ": " << error;
        EXPECT_NE(error.find(std::string(line).find('\n') == std::string::npos ? ":2: " : ":3: "), std::string::npos)
            << line << ": " << error;
    }
}

TEST(ParameterTable, ReadsOneRunPerRowAndRefusesRaggedRows) {
    ParameterTable table;
    std::string error;
    std::istringstream good("bw_m,\"clf_uim_t(3)\"\n60,1.5\n# comment\n70, 2.5\n");
    ASSERT_TRUE(ReadParameterTable(good, "sets.csv", table, error)) << error;
    EXPECT_EQ(table.Rows(), 2u);
    EXPECT_EQ(table.columns[1].Text(), "clf_uim_t(3)");
    EXPECT_EQ(table.values, (std::vector<double>{60, 1.5, 70, 2.5}));
    for (const char* text : {"bw_m\n", "bw_m,pdoseug_i\n1\n", "bw_m\nabc\n", "bw_m,bw_m\n1,2\n", "bw_m\nnan\n"}) {
        std::istringstream in(text);
        EXPECT_FALSE(ReadParameterTable(in, "sets.csv", table, error)) << text;
        EXPECT_EQ(error.rfind("sets.csv", 0), 0u) << error;
    }
}

PopulationTable SmallTable(std::size_t runs) {
    PopulationTable table;
    table.inputs = {"bw_m", "clf_uim_t(2)"};
    table.outputs = {"ca_mi"};
    table.times = {0, 24, 48};
    table.atIndices = {2};
    for (uint32_t k = 0; k < runs; ++k) {
        RunRecord r;
        r.run = k;
        r.inputs = {60.0 + k / 3.0, 0.1 * k};
        r.values = {0.0, 1.0 / (k + 1), 2.0 + k};
        if (k == 1) {
            r.status = RunStatus::Stopped;
            r.message = "stopped, at \"t\" = 30";
            r.values[2] = NAN;
        }
        table.records.push_back(r);
    }
    return table;
}

std::string Text(const PartHeader& header, const PopulationTable& table) {
    std::ostringstream out;
    WritePart(header, table, out);
    return out.str();
}

TEST(PartFile, RoundTripsExactlyAndJoinsOnlyMatchingShards) {
    const PopulationTable whole = SmallTable(5);
    std::vector<std::string> names;
    std::vector<PartHeader> headers;
    std::vector<PopulationTable> parts;
    for (std::size_t k = 0; k < 2; ++k) {
        PartHeader h{"batch", "abc", 7, k, 2, 0, 0, 5, {{"at", "48"}}};
        std::tie(h.firstRun, h.endRun) = ShardRange(5, k, 2);
        PopulationTable part = whole;
        part.records.assign(whole.records.begin() + h.firstRun, whole.records.begin() + h.endRun);
        std::istringstream in(Text(h, part));
        PartHeader readHeader;
        PopulationTable readTable;
        std::string error;
        ASSERT_TRUE(ReadPart(in, "p" + std::to_string(k), readHeader, readTable, error)) << error;
        EXPECT_EQ(Text(readHeader, readTable), Text(h, part));  // every value read back exactly
        names.push_back("p" + std::to_string(k));
        headers.push_back(readHeader);
        parts.push_back(readTable);
    }
    PopulationTable joined;
    std::string error;
    std::vector<PopulationTable> copy = parts;
    ASSERT_TRUE(JoinParts(names, headers, copy, joined, error)) << error;
    joined.atIndices = whole.atIndices;
    std::ostringstream a, b;
    WriteRunsTable(whole, a);
    WriteRunsTable(joined, b);
    EXPECT_EQ(a.str(), b.str());

    // Not belonging together: another population, another seed, a shard twice or missing.
    const auto refused = [&](std::vector<PartHeader> h, std::vector<PopulationTable> t, const std::string& what) {
        std::vector<std::string> n(h.size(), "x");
        PopulationTable out;
        std::string why;
        EXPECT_FALSE(JoinParts(n, h, t, out, why)) << what;
        EXPECT_NE(why.find(what), std::string::npos) << why;
    };
    std::vector<PartHeader> other = headers;
    other[1].hash = "abd";
    refused(other, parts, "population differs");
    other = headers;
    other[1].seed = 8;
    refused(other, parts, "seed");
    refused({headers[0], headers[0]}, {parts[0], parts[0]}, "given twice");
    refused({headers[0]}, {parts[0]}, "missing");

    // An interrupted write (no end line) or a damaged row is no part.
    const std::string full = Text(headers[0], parts[0]);
    for (const std::string& damaged :
         {full.substr(0, full.size() - 6), full.substr(0, full.find("\n0,") + 3) + "# end\n"}) {
        std::istringstream in(damaged);
        PartHeader h;
        PopulationTable t;
        EXPECT_FALSE(ReadPart(in, "d.csv", h, t, error));
        EXPECT_EQ(error.rfind("d.csv:", 0), 0u) << error;
    }
}

TEST(RunsTable, MeasuresEachOutputAndLeavesFailedRunsEmpty) {
    const PopulationTable table = SmallTable(3);
    std::ostringstream out;
    WriteRunsTable(table, out);
    EXPECT_EQ(out.str(),
              "run,bw_m,clf_uim_t(2),status,message,ca_mi@48,ca_mi_max,ca_mi_tmax,ca_mi_auc,ca_mi_final\n"
              "0,60,0,ok,,2,2,48,48,2\n"
              "1,60.333333333333336,0.1,stopped,\"stopped, at \"\"t\"\" = 30\",,,,,\n"
              "2,60.666666666666664,0.2,ok,,4,4,48,56,4\n");
    std::ostringstream summary;
    WriteSummaryTable(table, summary);
    EXPECT_NE(summary.str().find("\nca_mi,48,2,3,1.4142135623730951,2.05,2.1,2.5,3,3.5,3.9,3.95\n"), std::string::npos)
        << summary.str();
    // An element name with a comma is quoted; no run ok: empty numbers.
    PopulationTable failed = table;
    failed.outputs = {"x(1,2)"};
    for (RunRecord& r : failed.records) r.status = RunStatus::Error;
    std::ostringstream none;
    WriteSummaryTable(failed, none);
    EXPECT_NE(none.str().find("\n\"x(1,2)\",48,0,,,,,,,,,\n"), std::string::npos) << none.str();
}

// A population with failed and lost runs, non-finite values in runs that
// are ok, and ties.
PopulationTable MixedTable(std::size_t runs) {
    PopulationTable table;
    table.inputs = {"bw_m"};
    table.outputs = {"ca_mi", "ca_fi"};
    table.times = {0, 12, 24, 48};
    table.atIndices = {1, 3};
    for (uint32_t k = 0; k < runs; ++k) {
        RunRecord r;
        r.run = k;
        r.inputs = {50.0 + k};
        for (std::size_t c = 0; c < 8; ++c) r.values.push_back(c % 4 == 0 ? 0.0 : std::sin(k * 0.7 + c) * (1 + c));
        if (k % 9 == 3) r.values[5] = r.values[6] = 1.5;  // ties
        if (k == 4) r.values[2] = HUGE_VAL;
        if (k == 5) r.values[7] = NAN;
        if (k == 7) {
            r.status = RunStatus::Stopped;
            r.message = "stopped at 20";
            r.values[3] = r.values[7] = NAN;
        }
        if (k == 11) {
            r.status = RunStatus::Lost;
            r.values.assign(8, NAN);
        }
        table.records.push_back(r);
    }
    return table;
}

// A table large enough that the summary is shared between two threads and
// its block (2.2 MB) is mapped: the same bytes as the summary of the table
// in memory.
TEST(StreamedTables, ALargeSummaryHeldInMemoryEqualsTheTables) {
    PopulationTable table;
    for (int o = 0; o < 30; ++o) table.outputs.push_back("out" + std::to_string(o));
    for (int t = 0; t < 31; ++t) table.times.push_back(t);
    SummarySpill spill;
    std::string error;
    ASSERT_TRUE(spill.Open(::testing::TempDir(), table.Values(), error, std::size_t{32} << 20, 300)) << error;
    for (uint32_t k = 0; k < 300; ++k) {
        RunRecord r;
        r.run = k;
        for (std::size_t c = 0; c < table.Values(); ++c) r.values.push_back(std::sin(k * 1.3 + c * 0.01) * (1 + c % 7));
        if (k % 17 == 5) r.status = RunStatus::Error;
        spill.Add(r);
        table.records.push_back(std::move(r));
    }
    std::vector<PopulationSummary> summaries;
    ASSERT_TRUE(spill.Summaries(summaries, error)) << error;
    std::ostringstream held, expected;
    WriteSummaryRows(table, summaries, held);
    WriteSummaryTable(table, expected);
    EXPECT_EQ(held.str(), expected.str());
}

// The streamed tables (runs.csv row by row, the summary through its scratch
// file in several blocks) are the bytes of the in-memory tables, whatever
// order the runs finish in and whether they come from workers or parts.
TEST(StreamedTables, EqualTheInMemoryTablesForAnyOrderOfFinishingAndFromParts) {
    const PopulationTable whole = MixedTable(41);
    std::ostringstream expectedRuns, expectedSummary;
    WriteRunsTable(whole, expectedRuns);
    WriteSummaryTable(whole, expectedSummary);

    const auto stream = [&](const std::function<void(const std::function<void(RunRecord&&)>&)>& feed) {
        std::ostringstream runs, summary;
        RunsTableWriter writer(whole, runs);
        // 16 runs a block: two full blocks and a partial one; and all 41 in
        // one block, which never reaches the file.
        SummarySpill spill, held;
        std::string error;
        EXPECT_TRUE(spill.Open(::testing::TempDir(), whole.Values(), error, 16 * 8 * sizeof(double))) << error;
        EXPECT_TRUE(held.Open(::testing::TempDir(), whole.Values(), error, std::size_t{1} << 20, 41)) << error;
        RunCounts counts;
        feed([&](RunRecord&& r) {
            counts.Add(r);
            writer.Add(r);
            spill.Add(r);
            held.Add(r);
        });
        std::vector<PopulationSummary> summaries, heldSummaries;
        EXPECT_TRUE(spill.Summaries(summaries, error)) << error;
        EXPECT_TRUE(held.Summaries(heldSummaries, error)) << error;
        WriteSummaryRows(whole, summaries, summary);
        std::ostringstream heldSummary;
        WriteSummaryRows(whole, heldSummaries, heldSummary);
        EXPECT_EQ(heldSummary.str(), expectedSummary.str());
        EXPECT_EQ(runs.str(), expectedRuns.str());
        EXPECT_EQ(summary.str(), expectedSummary.str());
        EXPECT_EQ(counts.runs, 41u);
        EXPECT_EQ(counts.failed, 2u);
        EXPECT_EQ(counts.lost, 1u);
    };

    // Three workers finishing in reverse within each window, and run 2 last of all.
    std::vector<uint32_t> arrival;
    for (uint32_t k = 0; k < 41; k += 3)
        for (uint32_t j = std::min<uint32_t>(k + 3, 41); j-- > k;)
            if (j != 2) arrival.push_back(j);
    arrival.push_back(2);
    stream([&](const std::function<void(RunRecord&&)>& take) {
        std::vector<uint32_t> handed;
        RunOrder order(0, [&](RunRecord&& r) {
            handed.push_back(r.run);
            take(std::move(r));
        });
        for (const uint32_t k : arrival) {
            RunRecord copy = whole.records[k];
            order.Add(std::move(copy));
        }
        EXPECT_EQ(order.Waiting(), 0u);
        EXPECT_TRUE(std::is_sorted(handed.begin(), handed.end()));
        EXPECT_EQ(handed.size(), 41u);
    });

    // Merge: three parts, given out of order, read back one run at a time.
    std::vector<std::string> texts, names;
    std::vector<PartHeader> headers;
    std::vector<PopulationColumns> columns;
    for (const std::size_t k : {2u, 0u, 1u}) {
        PartHeader h{"batch", "abc", 7, k, 3, 0, 0, 41, {{"at", "12,48"}}};
        std::tie(h.firstRun, h.endRun) = ShardRange(41, k, 3);
        std::ostringstream out;
        PartWriter writer(h, whole, out);
        for (std::size_t r = h.firstRun; r < h.endRun; ++r) writer.Add(whole.records[r]);
        writer.End();
        texts.push_back(out.str());
        names.push_back("part-" + std::to_string(k));
        std::istringstream in(texts.back());
        std::string error;
        EXPECT_TRUE(VerifyPartChecksum(in, names.back(), error)) << error;
        std::istringstream again(texts.back());
        PartReader reader(again, names.back());
        headers.emplace_back();
        columns.emplace_back();
        EXPECT_TRUE(reader.ReadHeader(headers.back(), columns.back(), error)) << error;
    }
    std::vector<std::size_t> order;
    std::string error;
    ASSERT_TRUE(CheckParts(names, headers, columns, order, error)) << error;
    EXPECT_EQ(order, (std::vector<std::size_t>{1, 2, 0}));
    stream([&](const std::function<void(RunRecord&&)>& take) {
        for (const std::size_t p : order) {
            std::istringstream in(texts[p]);
            PartReader reader(in, names[p]);
            PartHeader h;
            PopulationColumns c;
            std::string why;
            ASSERT_TRUE(reader.ReadHeader(h, c, why)) << why;
            RunRecord r;
            while (reader.Next(r, why)) take(RunRecord(r));
            EXPECT_TRUE(reader.Done()) << why;
        }
    });

    // One edited number fails the checksum, naming the file and line.
    std::string edited = texts[1];
    const std::size_t at = edited.find("\n5,");
    edited[edited.find(',', at + 3) + 1] = edited[edited.find(',', at + 3) + 1] == '5' ? '6' : '5';
    std::istringstream in(edited);
    EXPECT_FALSE(VerifyPartChecksum(in, "part-0", error));
    EXPECT_NE(error.find("part-0:"), std::string::npos) << error;
    EXPECT_NE(error.find("does not match the checksum"), std::string::npos) << error;
}

// Values are packed, 11 characters each; parts with decimal fields (written
// before) still read, and a damaged packed field is refused.
TEST(PartFile, ReadsPackedAndDecimalValues) {
    const auto withChecksum = [](const std::string& body) {
        ContentHash hash;
        hash.Add(body);
        return body + "# end checksum=" + hash.Hex() + "\n";
    };
    const std::string head =
        "# orvo population part\n# kind=batch\n# hash=abc\n# seed=1\n# shard=0/1\n# runs=0-1/1\n";
    const std::string columns = "run,bw_m,status,message,ca_mi@0,ca_mi@24\n";
    for (const auto& [text, good] : std::vector<std::pair<std::string, bool>>{
             {withChecksum(head + columns + "0,60,ok,,0.25,\n"), true},
             {withChecksum(head + "# values=packed\n" + columns + "0,60,ok,,D/QAAAAAAAAH/4AAAAAAAA\n"), true},
             {withChecksum(head + "# values=packed\n" + columns + "0,60,ok,,D/QAAAAAAAAH/4AAAAAAA\n"), false},
             {withChecksum(head + "# values=packed\n" + columns + "0,60,ok,,z/QAAAAAAAAH/4AAAAAAAA\n"), false}}) {
        std::istringstream in(text);
        PartHeader header;
        PopulationTable table;
        std::string error;
        ASSERT_EQ(ReadPart(in, "p.csv", header, table, error), good) << text << error;
        if (!good) {
            EXPECT_NE(error.find("p.csv:9: bad packed values in run 0"), std::string::npos) << error;
            continue;
        }
        ASSERT_EQ(table.records.size(), 1u);
        EXPECT_EQ(table.records[0].values[0], 0.25);
        EXPECT_TRUE(std::isnan(table.records[0].values[1]));
    }
}

}  // namespace
