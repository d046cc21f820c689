# Helpers shared by the benchmarks: the bare HTTP page loop they compare against, resident memory.
add_library(pixavella_bench_support STATIC ${CMAKE_CURRENT_LIST_DIR}/PlainHttpPages.cpp)
target_include_directories(pixavella_bench_support PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(pixavella_bench_support PUBLIC Qt6::Network PRIVATE pixavella_options)
target_link_libraries(bench_client_listing PRIVATE pixavella_bench_support)
