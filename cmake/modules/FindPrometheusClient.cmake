# Debian's python3-prometheus-client, whose strict OpenMetrics parser the tests
# hold the exposition to (tests/tools/openmetrics_check runs /usr/bin/python3).
include(FindPackageHandleStandardArgs)
execute_process(COMMAND /usr/bin/python3 -c "import prometheus_client.openmetrics.parser"
                RESULT_VARIABLE _tav_prom_client ERROR_QUIET OUTPUT_QUIET)
if(_tav_prom_client EQUAL 0)
  set(PROMETHEUS_CLIENT_PYTHON /usr/bin/python3)
endif()
find_package_handle_standard_args(PrometheusClient REQUIRED_VARS PROMETHEUS_CLIENT_PYTHON)
