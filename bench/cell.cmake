# bench_cell: the whole cell (service, controller and gateway simulators on a
# serial line with emulated byte time): cycle period against its budget, CPU,
# peak RSS, allocations on the scheduler's threads, end-to-end latencies.
add_executable(bench_cell ${CMAKE_CURRENT_LIST_DIR}/bench_cell.cpp)
target_link_libraries(bench_cell PRIVATE vemo_umx_lib vemo_umx_private_headers vemo_test_support)
add_dependencies(bench_cell vemo_umx vemo_robot_sim vemo_gateway_sim)
