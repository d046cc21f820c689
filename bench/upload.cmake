# The upload reconciler against 4 parallel curl uploads, and its memory on one large file.
add_executable(bench_upload ${CMAKE_CURRENT_LIST_DIR}/upload.cpp)
target_link_libraries(bench_upload PRIVATE pixavella_app immich_double_launcher
    pixavella_bench_support pixavella_options)
