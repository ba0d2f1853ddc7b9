# PCRE2 with 8-bit code units.
include(TavFindLibrary)
tav_find_library(PCRE2 pcre2.h pcre2-8)
