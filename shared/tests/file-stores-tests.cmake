pixavella_add_test(TestUploadJournal
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestUploadJournal.cpp
    LIBS pixavella_shared)
# Includes a crash test that copies a 200 MB file several times.
pixavella_add_test(TestUploadQuarantine
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestUploadQuarantine.cpp
    LIBS pixavella_shared
    TIMEOUT 600)
