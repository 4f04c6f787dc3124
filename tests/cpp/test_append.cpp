#include <korvel/append.hpp>

#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using korvel::append_record;
using korvel::create_with;
using korvel::CreateWay;

namespace {

class AppendTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/korvel-append-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        for (const auto& name : entries())
            ::unlink((dir_ + "/" + name).c_str());
        ::rmdir(dir_.c_str());
    }

    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        if (DIR* d = ::opendir(dir_.c_str())) {
            while (dirent* e = ::readdir(d)) {
                const std::string n = e->d_name;
                if (n != "." && n != "..") names.push_back(n);
            }
            ::closedir(d);
        }
        return names;
    }
    std::string read(const std::string& path) const {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // Appends as an exporter does: existence test first.
    int export_row(const std::string& path, const std::string& row) const {
        return append_record(path, korvel::file_exists(path), "H\n", row);
    }

    std::string dir_;
};

} // namespace

TEST_F(AppendTest, HeaderOnlyWhenTheFileIsCreated) {
    const std::string f = dir_ + "/a.csv";
    EXPECT_EQ(export_row(f, "1\n"), 0);
    EXPECT_EQ(export_row(f, "2\n"), 0);
    EXPECT_EQ(read(f), "H\n1\n2\n");
    const std::string g = dir_ + "/b.csv";
    std::ofstream(g).close(); // an existing empty file gets no header
    EXPECT_EQ(export_row(g, "1\n"), 0);
    EXPECT_EQ(read(g), "1\n");
    EXPECT_EQ(entries().size(), 2u); // no temporary file stays behind
}

TEST_F(AppendTest, EveryWayCreatesOnceWithUmaskedMode) {
    const mode_t mask = ::umask(027);
    for (CreateWay way : {CreateWay::unnamed, CreateWay::temporary, CreateWay::exclusive}) {
        const std::string f = dir_ + "/w" + std::to_string(static_cast<int>(way));
        const int e = create_with(f, "H\n1\n", way);
        if (e == ENOTSUP) continue; // not on this file system
        ASSERT_EQ(e, 0) << static_cast<int>(way);
        EXPECT_EQ(create_with(f, "H\n2\n", way), EEXIST);
        EXPECT_EQ(read(f), "H\n1\n");
        struct stat st;
        ASSERT_EQ(::stat(f.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0640u);
    }
    ::umask(mask);
    EXPECT_EQ(entries().size(), 3u);
}

TEST_F(AppendTest, NamesNearTheLengthLimit) {
    const std::string f = dir_ + "/" + std::string(250, 'n');
    for (CreateWay way : {CreateWay::unnamed, CreateWay::temporary, CreateWay::exclusive}) {
        const int e = create_with(f, "H\n", way);
        if (e == ENOTSUP) continue;
        EXPECT_EQ(e, 0) << static_cast<int>(way);
        ::unlink(f.c_str());
    }
    EXPECT_TRUE(entries().empty());
}

TEST_F(AppendTest, OnlyARegularFileIsAppendedTo) {
    // A link, dangling or not, is refused and nothing is written through it;
    // so is a FIFO. A last line without its line feed stays a line.
    const std::string target = dir_ + "/target.csv", link = dir_ + "/link.csv";
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    EXPECT_EQ(export_row(link, "1\n"), ELOOP);
    EXPECT_FALSE(korvel::file_exists(target));
    std::ofstream(target) << "T\n";
    EXPECT_EQ(export_row(link, "1\n"), ELOOP);
    EXPECT_EQ(read(target), "T\n");
    ::unlink(link.c_str());
    const std::string fifo = dir_ + "/fifo.csv";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(export_row(fifo, "1\n"), korvel::not_regular_file);
    ::unlink(fifo.c_str());
    std::ofstream(target, std::ios::app) << "a,b";
    EXPECT_EQ(export_row(target, "1\n"), 0);
    EXPECT_EQ(export_row(target, "2\n"), 0);
    EXPECT_EQ(read(target), "T\na,b\n1\n2\n");
}

TEST_F(AppendTest, FileNamesTheFileSystemTakes) {
    EXPECT_EQ(korvel::check_file_name(dir_, std::string(255, 'n')), 0);
    EXPECT_EQ(korvel::check_file_name(dir_, std::string(256, 'n')), ENAMETOOLONG);
    EXPECT_EQ(korvel::check_file_name(dir_ + "/not/yet", std::string(300, 'n')), ENAMETOOLONG);
}

TEST_F(AppendTest, FailuresReportTheirErrno) {
    EXPECT_EQ(export_row(dir_ + "/missing/a.csv", "1\n"), ENOENT);
    ASSERT_EQ(::mkdir((dir_ + "/sub").c_str(), 0755), 0);
    EXPECT_EQ(export_row(dir_ + "/sub", "1\n"), EISDIR);
    ::rmdir((dir_ + "/sub").c_str());
    EXPECT_TRUE(entries().empty());
}

TEST_F(AppendTest, ConcurrentWritersKeepWholeLinesAndOneHeader) {
    const std::string f = dir_ + "/shared.csv";
    constexpr int writers = 4, rows = 200;
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w)
        threads.emplace_back([&, w] {
            const std::string row = std::string(40, static_cast<char>('a' + w)) + "\n";
            for (int i = 0; i < rows; ++i)
                ASSERT_EQ(export_row(f, row), 0);
        });
    for (auto& t : threads)
        t.join();
    std::istringstream in(read(f));
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_EQ(line, "H");
    int count[writers] = {};
    while (std::getline(in, line)) {
        ASSERT_EQ(line.size(), 40u);
        ASSERT_EQ(line.find_first_not_of(line[0]), std::string::npos) << line;
        ++count[line[0] - 'a'];
    }
    for (int w = 0; w < writers; ++w)
        EXPECT_EQ(count[w], rows);
}
