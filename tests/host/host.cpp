#include "host/host.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unistd.h>

// The control block, zero-filled, as every host defines it.
struct tavnode tavnode;

extern "C" {

// glibc's own calloc, and the sanitizers' when they are linked in.
void *__libc_calloc(size_t n, size_t size);
void *__interceptor_calloc(size_t n, size_t size) __attribute__((weak));

const char *zunoGetProcessName(void) { return host::kProcessName; }

int zunoNamespaceAdd(const char *ns, const char *member, int arg)
{
    host::announcements().emplace_back(arg == 0 ? ns : "(an argument other than 0)", member);
    if (host::on_announce()) host::on_announce()();
    return 0;
}

} // extern "C"

namespace {
// Plain words read and written with atomic builtins: std::atomic's member
// functions would be instrumented even where calloc itself is not.
long calls = 0;
long fail_at = -1;

long load(const long &v) { return __atomic_load_n(&v, __ATOMIC_RELAXED); }
void store(long &v, long x) { __atomic_store_n(&v, x, __ATOMIC_RELAXED); }
} // namespace

// Not instrumented: glibc calls it while a new thread is being set up,
// before ThreadSanitizer knows the thread.
extern "C" __attribute__((no_sanitize("thread"))) void *calloc(size_t n, size_t size)
{
    const long call = __atomic_add_fetch(&calls, 1, __ATOMIC_RELAXED);
    if (call == __atomic_load_n(&fail_at, __ATOMIC_RELAXED)) {
        errno = ENOMEM;
        return nullptr;
    }
    if (__interceptor_calloc != nullptr) return __interceptor_calloc(n, size);
    return __libc_calloc(n, size);
}

namespace host {

std::function<void()> &on_announce()
{
    static std::function<void()> hook;
    return hook;
}

std::vector<std::pair<std::string, std::string>> &announcements()
{
    static std::vector<std::pair<std::string, std::string>> seen;
    return seen;
}

void fail_calloc(int nth) { store(fail_at, load(calls) + nth); }
void fail_calloc_never() { store(fail_at, -1); }
long calloc_calls() { return load(calls); }

StdoutCapture::StdoutCapture()
{
    std::fflush(stdout);
    char path[] = "/tmp/tavcapXXXXXX";
    file_ = mkstemp(path);
    unlink(path);
    saved_ = dup(STDOUT_FILENO);
    dup2(file_, STDOUT_FILENO);
}

std::string StdoutCapture::take()
{
    if (done_) return {};
    done_ = true;
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    std::string out;
    char buf[4096];
    lseek(file_, 0, SEEK_SET);
    for (ssize_t n; (n = read(file_, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
    close(file_);
    return out;
}

StdoutCapture::~StdoutCapture() { take(); }

} // namespace host
