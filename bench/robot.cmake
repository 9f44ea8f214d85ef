# bench_robot_link: RPC round trip, RTDE delivery period and jitter against
# vemo_robot_sim, and the cost of parsing and storing one status packet.
add_executable(bench_robot_link ${CMAKE_CURRENT_LIST_DIR}/bench_robot_link.cpp)
target_link_libraries(bench_robot_link PRIVATE vemo_sdk vemo_robot_status_topics Threads::Threads)
target_compile_definitions(bench_robot_link PRIVATE
  VEMO_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
add_dependencies(bench_robot_link vemo_robot_sim)
