# tmux, for driving tavtop's live view in a real terminal in the tests.
include(FindPackageHandleStandardArgs)
find_program(TMUX_EXECUTABLE tmux)
find_package_handle_standard_args(Tmux REQUIRED_VARS TMUX_EXECUTABLE)
