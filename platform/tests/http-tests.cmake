pixavella_add_test(TestHttpTransport
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestHttpTransport.cpp ${CMAKE_CURRENT_LIST_DIR}/RawSocketServer.h
    LIBS pixavella_platform)
