# Enumerating "Mes photos" from a cold and a warm fetch cache against a bare HTTP loop.
add_executable(bench_enumerate ${CMAKE_CURRENT_LIST_DIR}/enumerate.cpp)
target_link_libraries(bench_enumerate PRIVATE pixavella_extension immich_double_launcher
    pixavella_bench_support PkgConfig::HTTPLIB pixavella_options)
