# Photos copied into the drive against the same copies into libfuse's passthrough filesystems
# and into a local folder; the daemon's memory over many drops.
add_executable(bench_drop ${CMAKE_CURRENT_LIST_DIR}/drop.cpp)
target_link_libraries(bench_drop PRIVATE pixavella_drive_testsupport pixavella_bench_mounts
    pixavella_options)
