#include "discovery.hpp"

#include "remote/elf_file.hpp"
#include "remote/failure.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <gelf.h>
#include <iterator>
#include <memory>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <tav.h>
#include <unistd.h>

namespace tav::exporter {
namespace {

constexpr unsigned long kernel_thread = 0x00200000; // PF_KTHREAD in stat's flags

struct stat_line {
    std::string comm;
    unsigned long flags = 0;
    std::uint64_t start_time = 0;
};

// /proc/PID/stat: "pid (comm) state ppid ..."; comm may hold spaces, parentheses and
// even newlines, so the fields are counted from the last ')'. flags is field 9, starttime 22.
bool read_stat(const std::string &path, stat_line &out)
{
    std::ifstream in(path);
    const std::string line{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const auto open = line.find('('), close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return false;
    out.comm = line.substr(open + 1, close - open - 1);
    std::istringstream rest(line.substr(close + 1));
    std::string field;
    for (int n = 3; n <= 22 && rest >> field; ++n) {
        if (n == 9) out.flags = std::strtoul(field.c_str(), nullptr, 10);
        if (n == 22) {
            out.start_time = std::strtoull(field.c_str(), nullptr, 10);
            return true;
        }
    }
    return false;
}

uid_t real_uid(const std::string &status_path)
{
    std::ifstream in(status_path);
    for (std::string line; std::getline(in, line);)
        if (line.starts_with("Uid:")) return static_cast<uid_t>(std::strtoul(line.c_str() + 4, nullptr, 10));
    return static_cast<uid_t>(-1);
}

std::string link_target(const std::string &path)
{
    char buf[4096];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

bool all_digits(const char *s)
{
    if (*s == '\0') return false;
    for (; *s != '\0'; ++s)
        if (*s < '0' || *s > '9') return false;
    return true;
}

} // namespace

discovery::discovery(std::string proc, double recheck) : proc_(std::move(proc)), recheck_(recheck) {}

std::vector<host> discovery::scan(double now, std::chrono::steady_clock::time_point deadline)
{
    const bool bounded = deadline != std::chrono::steady_clock::time_point{};
    ++scan_;
    counts_.processes = counts_.not_permitted = 0;
    std::vector<host> hosts;
    const std::unique_ptr<DIR, int (*)(DIR *)> dir(::opendir(proc_.c_str()), ::closedir);
    for (const dirent *e; dir && (e = ::readdir(dir.get())) != nullptr;) {
        if (!all_digits(e->d_name)) continue;
        const auto pid = static_cast<pid_t>(std::strtol(e->d_name, nullptr, 10));
        const std::string at = proc_ + "/" + e->d_name;
        stat_line st;
        struct stat exe {};
        if (!read_stat(at + "/stat", st) || (st.flags & kernel_thread) != 0) continue;
        if (::stat((at + "/exe").c_str(), &exe) != 0) {
            // Zombies and processes that just exited have no program either.
            if (errno == EACCES || errno == EPERM) ++counts_.not_permitted;
            continue;
        }
        ++counts_.processes;
        const identity id{st.start_time, exe.st_dev, exe.st_ino};
        auto [it, fresh] = processes_.try_emplace(pid);
        known &k = it->second;
        k.scan = scan_;
        if (fresh || k.id != id || (!k.found && now - k.looked_at >= recheck_)) {
            if (bounded && std::chrono::steady_clock::now() >= deadline) {
                processes_.erase(it); // out of time: a later scan looks at it
                continue;
            }
            k.id = id;
            k.found = look_at(pid, at);
            if (k.found) k.found->start_time = id.start_time;
            k.looked_at = now;
        }
        if (k.found) {
            k.found->comm = st.comm; // a process may rename itself
            hosts.push_back(*k.found);
        }
    }
    std::erase_if(processes_, [this](const auto &p) { return p.second.scan != scan_; });
    std::sort(hosts.begin(), hosts.end(), [](const host &a, const host &b) { return a.pid < b.pid; });
    return hosts;
}

std::optional<host> discovery::look_at(pid_t pid, const std::string &dir)
{
    std::vector<remote::mapping> maps;
    try {
        maps = remote::read_maps(pid, proc_);
    } catch (const remote::failure &) {
        return std::nullopt; // gone, or not ours: it is looked at again after `recheck`
    }
    ++counts_.maps_read;
    std::set<std::pair<std::uint64_t, std::uint64_t>> seen;
    for (const remote::mapping &m : maps) {
        // A file's first mapping is where its offset-0 segment was loaded.
        if (m.inode == 0 || m.path.empty() || m.path.front() != '/' ||
            !seen.insert({m.device, m.inode}).second)
            continue;
        const kind k = classify(pid, m);
        if (k == kind::plain) continue;
        const remote::elf_file f(remote::mapped_file_path(pid, m, proc_));
        const auto sym = f.object("tavnode");
        const auto bias = f.load_bias(m.start, m.offset);
        if (!sym || !bias) continue;
        host h;
        h.pid = pid;
        h.exe = link_target(dir + "/exe");
        h.uid = real_uid(dir + "/status");
        h.node = *bias + sym->value;
        h.layout_ok = k == kind::defines_node;
        return h;
    }
    return std::nullopt;
}

discovery::kind discovery::classify(pid_t pid, const remote::mapping &m)
{
    const auto key = std::make_pair(m.device, m.inode);
    if (const auto it = files_.find(key); it != files_.end()) return it->second;
    const std::string path = remote::mapped_file_path(pid, m, proc_);
    // Reached by its name rather than through map_files, the file must still be the one
    // mapped; and a file we may not open now is asked about again next time. (access()
    // would judge by the real user without capabilities; CAP_SYS_PTRACE opens /proc/PID/root.)
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || ::faccessat(AT_FDCWD, path.c_str(), R_OK, AT_EACCESS) != 0 ||
        (path.find("/map_files/") == std::string::npos && st.st_ino != m.inode))
        return kind::plain;
    ++counts_.files_opened;
    const remote::elf_file f(path);
    kind k = kind::plain;
    if (f.ok() && f.elf_class() == ELFCLASS64 && f.machine() == remote::native_machine())
        if (const auto sym = f.object("tavnode"))
            k = sym->size != 0 && sym->size < sizeof(struct tavnode) ? kind::other_layout
                                                                     : kind::defines_node;
    if (files_.size() >= 65536) files_.clear(); // files of long-gone processes do not pile up
    files_.emplace(key, k);
    return k;
}

} // namespace tav::exporter
