#include "host/host.hpp"

#include <atomic>
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
    (void)arg;
    host::announcements().emplace_back(ns, member);
    return 0;
}

#if defined(__GLIBC__) && !(__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 38))
size_t strlcpy(char *dst, const char *src, size_t size)
{
    const size_t len = std::strlen(src);
    if (size > 0) {
        const size_t n = len < size - 1 ? len : size - 1;
        std::memcpy(dst, src, n);
        dst[n] = '\0';
    }
    return len;
}
#endif

} // extern "C"

namespace {
std::atomic<long> calls{0};
std::atomic<long> fail_at{-1};
} // namespace

extern "C" void *calloc(size_t n, size_t size)
{
    const long call = ++calls;
    if (call == fail_at.load(std::memory_order_relaxed)) {
        errno = ENOMEM;
        return nullptr;
    }
    if (__interceptor_calloc != nullptr) return __interceptor_calloc(n, size);
    return __libc_calloc(n, size);
}

namespace host {

std::vector<std::pair<std::string, std::string>> &announcements()
{
    static std::vector<std::pair<std::string, std::string>> seen;
    return seen;
}

void fail_calloc(int nth) { fail_at = calls.load() + nth; }
void fail_calloc_never() { fail_at = -1; }
long calloc_calls() { return calls.load(); }

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
