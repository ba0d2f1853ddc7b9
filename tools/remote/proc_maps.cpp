#include "proc_maps.hpp"

#include "failure.hpp"

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace tav::remote {

std::string process_name(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    if (!std::getline(in, name)) return "?";
    return name;
}

std::string not_permitted(pid_t pid)
{
    return "not permitted to read process " + std::to_string(pid) + " (" + process_name(pid) +
           "): run as the same user as the target with /proc/sys/kernel/yama/ptrace_scope at 0 or 1"
           " (1 needs the target to be a descendant or root), or with CAP_SYS_PTRACE";
}

std::vector<mapping> read_maps(pid_t pid, const std::string &proc)
{
    const std::string dir = proc + "/" + std::to_string(pid);
    struct stat st {};
    if (pid <= 0 || ::stat(dir.c_str(), &st) != 0)
        throw failure("no such process: " + std::to_string(pid));
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
