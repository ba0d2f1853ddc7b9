#include "proc_maps.hpp"

#include "failure.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <linux/capability.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace tav::remote {

namespace {

// The first line of a small /proc file, or nothing.
std::optional<std::string> first_line(const std::string &path)
{
    std::ifstream in(path);
    std::string line;
    if (!std::getline(in, line)) return std::nullopt;
    return line;
}

// Whether this process may read any other: CAP_SYS_PTRACE in its effective set.
bool can_ptrace_any()
{
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("CapEff:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> CAP_SYS_PTRACE) & 1;
    return false;
}

} // namespace

pid_t max_pid()
{
    const auto line = first_line("/proc/sys/kernel/pid_max");
    const long v = line ? std::strtol(line->c_str(), nullptr, 10) : 0;
    // The kernel hands out IDs below pid_max.
    return v > 1 && v <= INT32_MAX ? static_cast<pid_t>(v - 1) : 4194303;
}

std::optional<pid_t> parse_pid(std::string_view text)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    const std::uint64_t v = std::stoull(std::string(text));
    if (v < 1 || v > static_cast<std::uint64_t>(max_pid())) return std::nullopt;
    return static_cast<pid_t>(v);
}

std::string process_name(pid_t pid)
{
    // The name is any 15 bytes the process chose, newlines too: only the kernel's last one goes.
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (name.empty()) return "?";
    if (name.back() == '\n') name.pop_back();
    return name;
}

std::optional<std::uint64_t> start_ticks(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name in parentheses may hold anything, ")" too: fields follow the last one.
    const auto close = stat.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    for (int k = 3; k <= 22 && fields >> field; ++k)
        if (k == 22) return std::strtoull(field.c_str(), nullptr, 10);
    return std::nullopt;
}

double seconds_since(std::uint64_t start)
{
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now); // what /proc/PID/stat counts from
    const double up = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
    return std::max(0.0, up - static_cast<double>(start) / static_cast<double>(::sysconf(_SC_CLK_TCK)));
}

std::string not_permitted(pid_t pid)
{
    std::string advice =
        "not permitted to read process " + std::to_string(pid) + " (" + process_name(pid) + ")";
    if (can_ptrace_any())
        return advice + " even with CAP_SYS_PTRACE: it runs in another user namespace or a security module"
                        " protects it";
    advice += ": run as the target's user";
    const auto scope = first_line("/proc/sys/kernel/yama/ptrace_scope");
    if (scope && *scope != "0")
        advice += " with /proc/sys/kernel/yama/ptrace_scope at 0 (it is " + *scope + ")";
    return advice + ", or with CAP_SYS_PTRACE (as root)";
}

std::vector<mapping> read_maps(pid_t pid, const std::string &proc)
{
    const std::string dir = proc + "/" + std::to_string(pid);
    struct stat st {};
    if (pid <= 0 || ::stat(dir.c_str(), &st) != 0) throw failure("no such process: " + std::to_string(pid));
    std::FILE *f = std::fopen((dir + "/maps").c_str(), "r");
    if (f == nullptr) {
        if (errno == ENOENT || errno == ESRCH) throw failure("no such process: " + std::to_string(pid));
        throw failure(not_permitted(pid));
    }
    std::vector<mapping> maps;
    char line[4096 + 256];
    errno = 0;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        std::istringstream in(line);
        mapping m;
        unsigned major = 0, minor = 0;
        char dash = 0, colon = 0;
        in >> std::hex >> m.start >> dash >> m.end >> m.perms >> m.offset >> major >> colon >> minor >> std::dec >>
            m.inode;
        if (!in || dash != '-' || colon != ':') continue;
        m.device = makedev(major, minor);
        std::getline(in >> std::ws, m.path);
        if (!m.path.empty() && m.path.back() == '\n') m.path.pop_back();
        maps.push_back(std::move(m));
    }
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed || maps.empty()) {
        if (::stat(dir.c_str(), &st) != 0) throw failure("process " + std::to_string(pid) + " exited");
        throw failure(not_permitted(pid));
    }
    return maps;
}

std::string mapped_file_path(pid_t pid, const mapping &m, const std::string &proc)
{
    char range[64];
    std::snprintf(range, sizeof range, "%lx-%lx", static_cast<unsigned long>(m.start),
                  static_cast<unsigned long>(m.end));
    const std::string dir = proc + "/" + std::to_string(pid);
    const std::string via_map = dir + "/map_files/" + range;
    if (::access(via_map.c_str(), R_OK) == 0) return via_map;
    return dir + "/root" + m.path;
}

} // namespace tav::remote
