/* The C hosts' one assertion: report the failed condition and leave main with 1. */
#ifndef TAV_TEST_CHECK_H
#define TAV_TEST_CHECK_H

#include <stdio.h>

#define CHECK(cond)                                                    \
    do {                                                               \
        if (!(cond)) {                                                 \
            fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
            return 1;                                                  \
        }                                                              \
    } while (0)

#endif
