#!/usr/bin/env bash
# Checks the built library file: its soname, that it needs only the C library,
# that it exports exactly the library's functions, and that what it leaves
# undefined is the C library's or the host's to supply.
set -u
lib=$1 exports=$2
fail=0
err() { echo "abi: $*"; fail=1; }

soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libtav.so." ] || err "soname is '$soname', want 'libtav.so.'"

needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
[ "$needed" = "libc.so.6 " ] || err "needed libraries are '$needed', want only libc.so.6"

defined=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
diff <(echo "$defined") <(sort "$exports") >/dev/null || {
    err "exported symbols differ from $exports:"
    diff <(echo "$defined") <(sort "$exports")
}

# Unversioned undefined symbols are the host's: exactly these four.
hostsyms=$(nm -D --undefined-only "$lib" | awk '$1 == "U" && $2 !~ /@/ {print $2}' | sort | tr '\n' ' ')
[ "$hostsyms" = "strlcpy tavnode zunoGetProcessName zunoNamespaceAdd " ] ||
    err "symbols left for the host are '$hostsyms'"
# From the C library it needs only what it is meant to call.
clib=$(nm -D --undefined-only "$lib" | awk '$1 == "U" && $2 ~ /@/ {print $2}' | sed 's/@.*//' | sort | tr '\n' ' ')
[ "$clib" = "calloc free getpid memcpy memmove printf process_vm_readv pthread_rwlock_rdlock pthread_rwlock_unlock pthread_rwlock_wrlock puts strncmp " ] ||
    err "C library functions used are '$clib'"
# Nothing from the C++ runtime, not even weakly.
nm -D --undefined-only "$lib" | grep -E ' (_Z|__cxa_(allocate|throw|guard|pure)|__gxx)' && err "the library needs the C++ runtime"

[ $fail -eq 0 ] && echo "abi: ok"
exit $fail
