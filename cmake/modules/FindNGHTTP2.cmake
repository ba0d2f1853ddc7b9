# nghttp2, the HTTP/2 library.
include(TavFindLibrary)
tav_find_library(NGHTTP2 nghttp2/nghttp2.h nghttp2)
