// Included first by every header of the C++ layer: one clear message for a
// compiler mode the layer cannot work in, instead of a flood of errors.
#pragma once

#if !defined(__cplusplus) || __cplusplus < 202002L
#error "the libtav C++ headers (tav/*.hpp) need C++20: compile with -std=c++20 or later"
#endif
