// The collector with this very process as its one host (a procfs that shows
// only it): deadlines, and a reading that blocks in the kernel.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <iterator>
#include <linux/userfaultfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <tav.h>
#include <thread>
#include <unistd.h>

#include "collector.hpp"

namespace {
namespace fs = std::filesystem;
using namespace tav::exporter;

TEST(Collector, ReadsWithinTheDeadlineAndLeavesABlockedReadingBehind)
{
    const fs::path root = fs::temp_directory_path() / ("tav-collector-" + std::to_string(getpid()));
    fs::create_directories(root);
    fs::create_directory_symlink("/proc/" + std::to_string(getpid()), root / std::to_string(getpid()));
    collector c(discovery(root.string()), limits{});
    const auto read = [&c](std::chrono::milliseconds time) {
        const auto got = c.collect(steady::now() + time);
        return got->hosts.size() == 1 ? got->hosts[0].error : read_error::exited;
    };
    EXPECT_EQ(read(std::chrono::milliseconds(0)), read_error::exited) << "no time to look for hosts at all";
    EXPECT_EQ(read(std::chrono::seconds(10)), read_error::none);

    // The type table on a page whose faults nobody serves: a reading blocks in the kernel.
    const int uffd = static_cast<int>(syscall(SYS_userfaultfd, O_CLOEXEC));
    uffdio_api api{UFFD_API, 0, 0};
    void *page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    uffdio_register on{{reinterpret_cast<unsigned long>(page), 4096}, UFFDIO_REGISTER_MODE_MISSING, 0};
    if (uffd < 0 || ioctl(uffd, UFFDIO_API, &api) != 0 || ioctl(uffd, UFFDIO_REGISTER, &on) != 0)
        GTEST_SKIP() << "userfaultfd is not available here: " << std::strerror(errno);
    tavnode.ntypes = 1;
    tavnode.types = static_cast<tavtype *>(page);
    const auto threads = [] { return std::distance(fs::directory_iterator("/proc/self/task"), {}); };
    EXPECT_EQ(read(std::chrono::milliseconds(100)), read_error::deadline);
    const auto blocked = threads();
    EXPECT_EQ(read(std::chrono::seconds(10)), read_error::deadline);
    EXPECT_EQ(threads(), blocked) << "not read again while the first reading is blocked";

    // The fault served, the reading left behind finishes and the host is read again.
    uffdio_zeropage zero{{reinterpret_cast<unsigned long>(page), 4096}, 0, 0};
    ASSERT_EQ(ioctl(uffd, UFFDIO_ZEROPAGE, &zero), 0) << std::strerror(errno);
    read_error last = read_error::deadline;
    for (int i = 0; i < 100 && last != read_error::none; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        last = read(std::chrono::seconds(10));
    }
    EXPECT_EQ(last, read_error::none);
    tavnode.ntypes = 0;
    tavnode.types = nullptr;
    close(uffd);
    fs::remove_all(root);
}

} // namespace
