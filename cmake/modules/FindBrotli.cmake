# Brotli's encoder and decoder libraries (brotlicommon comes with them).
include(TavFindLibrary)
tav_find_library(Brotli brotli/encode.h brotlienc brotlidec)
