# libelf, for reading the symbol tables of a host's loaded objects.
include(TavFindLibrary)
tav_find_library(LibElf gelf.h elf)
