#include "AtomicFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class AtomicFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() / ("orvo-atomic-" + std::to_string(getpid()));
        fs::remove_all(folder_);
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }
    fs::path folder_;
};

// What is at the path stays what it was: a link keeps pointing at its file,
// which gets the content; a pipe (as /dev/stdout often is) is written to, not
// replaced by a plain file; a folder is refused before anything is written.
TEST_F(AtomicFileTest, WritesThroughLinksAndPipesAndRefusesFolders) {
    std::string error;
    const fs::path real = folder_ / "real.svg", link = folder_ / "link.svg";
    fs::create_symlink(real, link);
    ASSERT_TRUE(WriteFileAtomically(link.string(), [](std::ostream& out) { out << "plot"; }, error)) << error;
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(link)));
    EXPECT_EQ(Slurp(real), "plot");
    ASSERT_TRUE(WriteFileAtomically(link.string(), [](std::ostream& out) { out << "again"; }, error)) << error;
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(link)));
    EXPECT_EQ(Slurp(real), "again");

    const fs::path pipe = folder_ / "pipe";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    const int reader = open(pipe.c_str(), O_RDONLY | O_NONBLOCK);  // the writer's open does not wait
    ASSERT_GE(reader, 0);
    EXPECT_TRUE(WriteFileAtomically(pipe.string(), [](std::ostream& out) { out << "through"; }, error)) << error;
    char received[16] = {};
    EXPECT_EQ(read(reader, received, sizeof received - 1), 7);
    close(reader);
    EXPECT_STREQ(received, "through");
    EXPECT_TRUE(fs::is_fifo(fs::symlink_status(pipe)));

    const fs::path folder = folder_ / "summary.csv";
    fs::create_directories(folder);
    AtomicFileWriter file;
    EXPECT_FALSE(file.Open(folder.string(), error));
    EXPECT_NE(error.find("is a folder"), std::string::npos) << error;
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 4);  // nothing left beside
}

// Temporary files of killed writers are removed by the next write; a name
// that only looks like one (a number no process id can be) is left alone
// rather than stopping the write.
TEST_F(AtomicFileTest, RemovesTemporariesOfKilledWritersOnly) {
    const fs::path target = folder_ / "runs.csv";
    const fs::path dead = folder_ / "runs.csv.tmp.999999999";
    const fs::path overlong = folder_ / "runs.csv.tmp.99999999999999999999";
    const fs::path alive = folder_ / ("runs.csv.tmp." + std::to_string(getppid()));
    for (const fs::path& file : {dead, overlong, alive}) std::ofstream(file).close();
    std::string error;
    ASSERT_TRUE(WriteFileAtomically(target.string(), [](std::ostream& out) { out << "run\n"; }, error)) << error;
    EXPECT_EQ(Slurp(target), "run\n");
    EXPECT_FALSE(fs::exists(dead));
    EXPECT_TRUE(fs::exists(overlong));
    EXPECT_TRUE(fs::exists(alive));
}

// A name near the file system's 255-byte limit is written as well: its
// temporary name is cut to fit instead of being too long to create.
TEST_F(AtomicFileTest, WritesNamesNearTheLengthLimit) {
    const fs::path target = folder_ / (std::string(250, 'a') + ".csv");
    std::string error;
    ASSERT_TRUE(WriteFileAtomically(target.string(), [](std::ostream& out) { out << "t\n0\n"; }, error)) << error;
    EXPECT_EQ(Slurp(target), "t\n0\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 1);
}

}  // namespace
