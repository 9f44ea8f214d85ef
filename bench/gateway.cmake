# bench_modbus: round trips of the exchange cycle's Modbus requests through
# ModbusDev against the gateway simulator over a socat pty pair.
add_executable(bench_modbus ${CMAKE_CURRENT_SOURCE_DIR}/bench_modbus.cpp)
target_link_libraries(bench_modbus PRIVATE vemo_umx_lib vemo_umx_private_headers PkgConfig::MODBUS)
target_compile_definitions(bench_modbus PRIVATE VEMO_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
add_dependencies(bench_modbus vemo_gateway_sim)
