// Discovery over a made-up /proc whose processes map real files: this test
// program (a host: it defines tavnode) and the libraries it loaded (no host).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <tav.h>
#include <unistd.h>

#include "discovery.hpp"

struct tavnode tavnode;

namespace {
namespace fs = std::filesystem;
using tav::exporter::discovery;
using tav::exporter::host;

class Discovery : public testing::Test {
protected:
    void SetUp() override
    {
        root = fs::temp_directory_path() / ("tav-fake-proc-" + std::to_string(getpid()));
        fs::remove_all(root);
        self = fs::read_symlink("/proc/self/exe");
        std::ifstream in("/proc/self/maps");
        for (std::string line; std::getline(in, line);) {
            all_maps += line + "\n";
            if (line.find(self.string()) == std::string::npos) library_maps += line + "\n";
            // The host's file replaced on disk since it was mapped: the mapping names another inode.
            else
                replaced_maps += std::regex_replace(line, std::regex(" \\d+ +/"), " 1 /") + "\n";
            if (library.empty() && line.find(".so") != std::string::npos)
                library = line.substr(line.find('/'));
        }
    }
    void TearDown() override { fs::remove_all(root); }

    // A process as procfs shows it: stat (comm, flags, start time), status, maps, exe and root.
    void process(int pid, unsigned long start, const fs::path &exe, const std::string &maps,
                 unsigned long flags = 0)
    {
        const fs::path dir = root / std::to_string(pid);
        fs::remove_all(dir);
        fs::create_directories(dir);
        std::ofstream(dir / "stat") << pid << " (a (b)\nc) S 1 1 1 0 -1 " << flags
                                    << " 0 0 0 0 0 0 0 0 20 0 1 0 " << start << " 0 0\n";
        std::ofstream(dir / "status") << "Name:\tx\nUid:\t1234\t0\t0\t0\n";
        std::ofstream(dir / "maps") << maps;
        fs::create_symlink(exe, dir / "exe");
        fs::create_directory_symlink("/", dir / "root");
    }
    std::vector<int> pids(discovery &d, double now, std::chrono::steady_clock::time_point deadline = {})
    {
        std::vector<int> out;
        for (const host &h : d.scan(now, deadline)) out.push_back(h.pid);
        return out;
    }

    fs::path root, self, library;
    std::string all_maps, library_maps, replaced_maps;
};

TEST_F(Discovery, FindsHostsOnceAndLooksAgainAfterExecReuseOrRecheck)
{
    process(10, 100, self, all_maps);
    process(11, 100, library, library_maps);
    process(12, 100, self, all_maps, 0x00200000); // a kernel thread
    process(13, 100, library, replaced_maps);
    discovery d(root.string(), 60);
    EXPECT_EQ(pids(d, 0, std::chrono::steady_clock::now()), std::vector<int>{}) << "no time to look at any";
    EXPECT_EQ(d.counts().maps_read, 0u);
    const std::vector<host> found = d.scan(0);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].pid, 10);
    EXPECT_EQ(found[0].node, reinterpret_cast<std::uintptr_t>(&tavnode));
    EXPECT_EQ(found[0].comm, "a (b)\nc");
    EXPECT_EQ(found[0].exe, self.string());
    EXPECT_EQ(found[0].uid, 1234u);
    EXPECT_EQ(found[0].start_time, 100u);
    EXPECT_TRUE(found[0].layout_ok);
    EXPECT_EQ(d.counts().processes, 3u);
    const auto files = d.counts().files_opened, maps = d.counts().maps_read;
    EXPECT_EQ(maps, 3u);
    EXPECT_EQ(pids(d, 1), std::vector<int>{10});
    EXPECT_EQ(d.counts().maps_read, maps) << "known processes are not looked at again";

    process(11, 100, library, all_maps); // it loads the host's object later
    EXPECT_EQ(pids(d, 59), std::vector<int>{10});
    EXPECT_EQ(pids(d, 60), (std::vector<int>{10, 11}));
    EXPECT_EQ(d.counts().files_opened, files) << "each mapped file is classified once";

    process(10, 100, library, library_maps); // exec of another program: same PID and start time
    EXPECT_EQ(pids(d, 61), std::vector<int>{11});
    process(11, 101, library, library_maps); // the PID reused
    EXPECT_EQ(pids(d, 62), std::vector<int>{});
    process(11, 102, self, all_maps);
    fs::remove_all(root / "10"); // exited
    fs::remove_all(root / "13");
    EXPECT_EQ(pids(d, 63), std::vector<int>{11});
    EXPECT_EQ(d.counts().processes, 1u);
    EXPECT_EQ(d.counts().files_opened, files);
}

} // namespace
