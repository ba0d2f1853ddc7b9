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

undefined=$(nm -D --undefined-only "$lib" | awk '$1 == "U" {print $2}' | sed 's/@.*//' | sort)
for sym in strlcpy zunoGetProcessName zunoNamespaceAdd tavnode \
           pthread_rwlock_rdlock pthread_rwlock_wrlock pthread_rwlock_unlock; do
    grep -qx "$sym" <<<"$undefined" || err "$sym should be left undefined for the host"
done
# Unversioned undefined symbols are the host's: exactly these four.
hostsyms=$(nm -D --undefined-only "$lib" | awk '$1 == "U" && $2 !~ /@/ {print $2}' | sort | tr '\n' ' ')
[ "$hostsyms" = "strlcpy tavnode zunoGetProcessName zunoNamespaceAdd " ] ||
    err "symbols left for the host are '$hostsyms'"
# From the C library it needs only what it is meant to call.
clib=$(nm -D --undefined-only "$lib" | awk '$1 == "U" && $2 ~ /@/ {print $2}' | sed 's/@.*//' | sort | tr '\n' ' ')
[ "$clib" = "calloc free getpid memcpy memmove printf process_vm_readv pthread_rwlock_rdlock pthread_rwlock_unlock pthread_rwlock_wrlock puts strncmp " ] ||
    err "C library functions used are '$clib'"
# The lock functions come from the C library, and nothing from the C++ runtime.
for sym in pthread_rwlock_rdlock pthread_rwlock_wrlock pthread_rwlock_unlock; do
    nm -D --undefined-only "$lib" | grep -q " $sym@GLIBC_" || err "$sym is not bound to the C library"
done
if nm -D --undefined-only "$lib" | grep -qE ' (_Z|__cxa_(allocate|throw|guard|pure)|__gxx)'; then
    err "the library needs the C++ runtime:"
    nm -D --undefined-only "$lib" | grep -E ' (_Z|__cxa_|__gxx)'
fi

[ $fail -eq 0 ] && echo "abi: ok"
exit $fail
