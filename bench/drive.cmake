# The drive through a real mount against plain tools on local files, libfuse's passthrough_hp
# and curl; its waits on a busy disk and a slow server; the extension's completeness check.
add_executable(bench_drive ${CMAKE_CURRENT_LIST_DIR}/drive.cpp)
target_link_libraries(bench_drive PRIVATE pixavella_drive_testsupport pixavella_bench_mounts
    pixavella_extension pixavella_fusehost pixavella_options)
