pixavella_add_test(TestHttpSession
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestHttpSession.cpp ${CMAKE_CURRENT_LIST_DIR}/RawSocketServer.h
    LIBS pixavella_platform PkgConfig::HTTPLIB)
