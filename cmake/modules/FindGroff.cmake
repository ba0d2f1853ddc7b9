# groff, which checks the man page tavtop-manpage writes.
include(FindPackageHandleStandardArgs)
find_program(GROFF_EXECUTABLE groff)
find_package_handle_standard_args(Groff REQUIRED_VARS GROFF_EXECUTABLE)
