pixavella_add_test(TestUploadJournal
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestUploadJournal.cpp
    LIBS pixavella_shared)
# Includes a crash test that copies a 200 MB file several times.
pixavella_add_test(TestUploadQuarantine
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestUploadQuarantine.cpp
    LIBS pixavella_shared
    TIMEOUT 600)
# Two child processes add entries while this one rewrites the same store.
pixavella_add_test(TestStoreRaces
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestStoreRaces.cpp
    LIBS pixavella_shared
    TIMEOUT 300)
pixavella_add_test(TestRenameQueue
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestRenameQueue.cpp
    LIBS pixavella_shared)
# Against a scripted server standing in for the names service.
pixavella_add_test(TestAssetNames
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestAssetNames.cpp
    LIBS pixavella_shared PkgConfig::HTTPLIB)
