pixavella_add_test(TestSocketIoFrames
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestSocketIoFrames.cpp
    LIBS pixavella_shared)
pixavella_add_test(TestServerEventChannel
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestServerEventChannel.cpp
    LIBS pixavella_shared immich_double_launcher PkgConfig::HTTPLIB)
