pixavella_add_test(TestImmichUpload
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestImmichUpload.cpp
    LIBS pixavella_shared)
target_include_directories(TestImmichUpload PRIVATE ${CMAKE_SOURCE_DIR}/platform/tests)
pixavella_add_test(TestSearchPageReader
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestSearchPageReader.cpp
    LIBS pixavella_shared)
