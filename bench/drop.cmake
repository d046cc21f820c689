# Photos copied into the drive against the same copy into a local folder.
add_executable(bench_drop ${CMAKE_CURRENT_LIST_DIR}/drop.cpp)
target_link_libraries(bench_drop PRIVATE pixavella_drive_testsupport pixavella_options)
