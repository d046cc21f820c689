pixavella_add_test(TestImmichUpload
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestImmichUpload.cpp
    LIBS pixavella_shared)
target_include_directories(TestImmichUpload PRIVATE ${CMAKE_SOURCE_DIR}/platform/tests)
pixavella_add_test(TestSearchPageReader
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestSearchPageReader.cpp
    LIBS pixavella_shared)
pixavella_add_test(TestImmichClientCalls
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestImmichClientCalls.cpp
    LIBS pixavella_shared PkgConfig::HTTPLIB)
pixavella_add_test(TestImmichClientListing
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestImmichClientListing.cpp
    LIBS pixavella_shared immich_double_launcher PkgConfig::HTTPLIB)
