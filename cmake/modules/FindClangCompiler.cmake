# clang and clang++, for the install test's second compiler of host programs.
include(FindPackageHandleStandardArgs)
find_program(CLANG_C_EXECUTABLE clang)
find_program(CLANG_CXX_EXECUTABLE clang++)
find_package_handle_standard_args(ClangCompiler REQUIRED_VARS CLANG_C_EXECUTABLE CLANG_CXX_EXECUTABLE)
