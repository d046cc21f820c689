pixavella_add_test(TestImmichRecords
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestImmichRecords.cpp
    LIBS pixavella_shared)
