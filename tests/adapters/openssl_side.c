/* A shared library of the host, built with hidden visibility, that installs
 * OpenSSL's hook itself: it must share the executable's hook state. */
#include <tav/adapters/openssl.h>

__attribute__((visibility("default"))) int32_t tavtest_side_install(tavhandle type)
{
    return tav_openssl_install(type);
}
