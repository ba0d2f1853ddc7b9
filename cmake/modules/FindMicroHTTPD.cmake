# libmicrohttpd, the HTTP server tav-exporter answers scrapes with.
include(TavFindLibrary)
tav_find_library(MicroHTTPD microhttpd.h microhttpd)
