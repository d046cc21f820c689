# The drive through a real mount against plain tools on local files and curl.
add_executable(bench_drive ${CMAKE_CURRENT_LIST_DIR}/drive.cpp)
target_link_libraries(bench_drive PRIVATE pixavella_drive_testsupport pixavella_options)
