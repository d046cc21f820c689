# The drive over a library of 100,000 assets: its idle cost at the server, how soon another
# client's change shows (by events, by polling), a change listing's bytes against a whole
# listing's, the daemon's memory after a walk of the whole drive.
add_executable(bench_scale ${CMAKE_CURRENT_LIST_DIR}/scale.cpp)
target_link_libraries(bench_scale PRIVATE pixavella_drive_testsupport pixavella_bench_support
    pixavella_options)
