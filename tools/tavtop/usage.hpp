// What tavtop tells its user about itself, written once: --help, the live
// view's help screen and the man page (tavtop.1, made at build time by
// tavtop-manpage) all come from these tables, so flags and keys cannot drift
// apart between them.
#pragma once
#include <span>
#include <string>

namespace tavtop {

enum class flag { delay, iterations, once, json, openmetrics, prometheus, trace, timeout };

struct flag_doc {
    flag id;
    const char *names; // as CLI11 takes them: "-d,--delay"
    const char *value; // the value's name, "" for a switch
    const char *text;
};

struct key_doc {
    const char *keys; // as the user presses them, e.g. "PgUp PgDn"
    const char *text;
};

std::span<const flag_doc> flag_docs();
const flag_doc &doc(flag f);
std::span<const key_doc> key_docs();

extern const char *const summary;  // one line: what tavtop is
extern const char *const synopsis; // the ways to run it

// The text after the options in --help: the keys, the exit status, an example.
std::string help_footer();
// The manual page in roff (man(7)).
std::string man_page();

} // namespace tavtop
