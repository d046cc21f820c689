pixavella_add_test(TestImmichRecords
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestImmichRecords.cpp
    LIBS pixavella_shared)
pixavella_add_test(TestSharedSettings
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestSharedSettings.cpp
    LIBS pixavella_shared)
