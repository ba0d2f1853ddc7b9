#include "terminal.hpp"

#include "remote/failure.hpp"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <ncurses.h>
#include <term.h>
#include <termios.h>
#include <unistd.h>

namespace tavtop {
namespace {

constexpr int ending_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

// What a signal handler needs, kept where it can reach it without allocating:
// the terminal's modes from before curses, and the bytes that leave its
// screen (attributes off, cursor shown, the normal screen back).
struct saved_state {
    termios modes{};
    bool have_modes = false;
    char leave[256] = {};
    std::size_t leave_len = 0;
    struct sigaction previous[std::size(ending_signals)]{};
    std::terminate_handler previous_terminate = nullptr;
} saved;

// Once only: a second ending signal (a sanitizer's abort after its report of
// a fault) must not leave the normal screen again, which would move the cursor
// back to where curses started and write over the report.
void give_back() noexcept
{
    if (saved.leave_len != 0 && ::write(STDOUT_FILENO, saved.leave, saved.leave_len) < 0) {}
    if (saved.have_modes) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved.modes);
    saved.leave_len = 0;
    saved.have_modes = false;
}

extern "C" void on_ending_signal(int sig)
{
    give_back();
    // The previous disposition (the default, or a sanitizer's report) finishes the job.
    for (std::size_t i = 0; i < std::size(ending_signals); ++i)
        if (ending_signals[i] == sig) ::sigaction(sig, &saved.previous[i], nullptr);
    ::raise(sig);
}

void on_terminate()
{
    give_back();
    (saved.previous_terminate != nullptr ? saved.previous_terminate : std::abort)();
}

void remember(const char *capability)
{
    const char *s = tigetstr(capability);
    if (s == nullptr || s == reinterpret_cast<const char *>(-1)) return;
    const std::size_t len = std::strlen(s);
    if (saved.leave_len + len > sizeof saved.leave) return;
    std::memcpy(saved.leave + saved.leave_len, s, len);
    saved.leave_len += len;
}

} // namespace

terminal::terminal()
{
    if (!::isatty(STDIN_FILENO) || !::isatty(STDOUT_FILENO))
        throw tav::remote::failure("the live view needs a terminal; --once, -n N or --json print to others");
    saved.have_modes = ::tcgetattr(STDIN_FILENO, &saved.modes) == 0;
    screen_ = newterm(nullptr, stdout, stdin);
    if (screen_ == nullptr)
        throw tav::remote::failure("the live view cannot drive this terminal (TERM not known to curses)");
    cbreak();
    noecho();
    keypad(stdscr, TRUE);
    curs_set(0);
    set_escdelay(25);
    remember("sgr0");
    remember("cnorm");
    remember("rmcup");
    struct sigaction on {};
    on.sa_handler = on_ending_signal;
    sigemptyset(&on.sa_mask);
    for (std::size_t i = 0; i < std::size(ending_signals); ++i)
        ::sigaction(ending_signals[i], &on, &saved.previous[i]);
    saved.previous_terminate = std::set_terminate(on_terminate);
}

terminal::~terminal()
{
    endwin();
    delscreen(screen_);
    for (std::size_t i = 0; i < std::size(ending_signals); ++i)
        ::sigaction(ending_signals[i], &saved.previous[i], nullptr);
    std::set_terminate(saved.previous_terminate);
    saved.leave_len = 0;
}

} // namespace tavtop
