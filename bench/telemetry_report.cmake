# ReportEvent's cost to its caller, from 1 and 8 threads, with the uploader running.
zl_bench(bench_telemetry_report SOURCES telemetry_report_bench.cpp LIBS zl_telemetry)
