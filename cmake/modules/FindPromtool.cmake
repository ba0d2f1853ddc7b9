# promtool, Prometheus's own checker of metrics and rules.
include(FindPackageHandleStandardArgs)
find_program(PROMTOOL_EXECUTABLE promtool)
find_package_handle_standard_args(Promtool REQUIRED_VARS PROMTOOL_EXECUTABLE)
