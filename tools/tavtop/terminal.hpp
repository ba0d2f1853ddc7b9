// The terminal in curses mode for the live view, and given back on every way
// out: the guard's end (a return or an exception), std::terminate, and the
// signals that end a process (the interrupt keys, a hang-up, a fault).
#pragma once

struct screen;

namespace tavtop {
class terminal {
public:
    terminal(); // throws failure when standard input and output are not a terminal curses knows
    ~terminal();
    terminal(const terminal &) = delete;
    terminal &operator=(const terminal &) = delete;

private:
    struct screen *screen_;
};
} // namespace tavtop
