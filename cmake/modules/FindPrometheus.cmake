# The Prometheus server, which tav-exporter's end-to-end test points at it.
include(FindPackageHandleStandardArgs)
find_program(PROMETHEUS_EXECUTABLE prometheus)
find_package_handle_standard_args(Prometheus REQUIRED_VARS PROMETHEUS_EXECUTABLE)
