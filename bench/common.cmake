# Helpers shared by the benchmarks: the bare HTTP page loop they compare against, figures,
# timed commands and the machine's state.
add_library(pixavella_bench_support STATIC ${CMAKE_CURRENT_LIST_DIR}/PlainHttpPages.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Measures.cpp)
target_include_directories(pixavella_bench_support PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(pixavella_bench_support PUBLIC Qt6::Network PRIVATE pixavella_options)
target_link_libraries(bench_client_listing PRIVATE pixavella_bench_support)

# What the drive benchmarks add: libfuse's passthrough filesystems mounted over local folders
# (bench/passthrough.sh builds them) and JPEG photos with their Exif dates.
find_package(Qt6 REQUIRED COMPONENTS Gui)
pkg_check_modules(BENCH_EXIV2 REQUIRED IMPORTED_TARGET exiv2)
add_library(pixavella_bench_mounts STATIC ${CMAKE_CURRENT_LIST_DIR}/PassthroughMount.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PhotoFiles.cpp)
target_link_libraries(pixavella_bench_mounts PUBLIC pixavella_bench_support pixavella_fpmanager
    PRIVATE Qt6::Gui PkgConfig::BENCH_EXIV2 pixavella_options)
