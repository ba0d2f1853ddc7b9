// The test host: what a real host program supplies to libtav (tavnode, the
// platform functions, strlcpy), plus the instruments the tests need.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/zuno.h"
#include "tav.h"

namespace host {

// Process name the host's zunoGetProcessName reports.
inline constexpr const char *kProcessName = "tavtest";

// Every zunoNamespaceAdd call the library made, as (namespace, member).
std::vector<std::pair<std::string, std::string>> &announcements();

// Run by zunoNamespaceAdd after recording, while the library holds the write
// lock: a host platform that calls back into the library. Empty by default.
std::function<void()> &on_announce();

// calloc interposed for the whole test executable. fail_calloc(n) makes the
// n-th following call fail (1 = the next one); every call is counted.
void fail_calloc(int nth);
void fail_calloc_never();
long calloc_calls();

// Captures what the library writes to standard output, as bytes.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;
    // Stops capturing and returns everything written since construction.
    std::string take();

private:
    int saved_ = -1;
    int file_ = -1;
    bool done_ = false;
};

// Runs fn() with standard output captured and returns the bytes.
template <class Fn> std::string captured(Fn &&fn)
{
    StdoutCapture cap;
    fn();
    return cap.take();
}

} // namespace host
