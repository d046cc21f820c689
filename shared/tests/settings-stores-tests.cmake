pixavella_add_test(TestDedupIndex
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestDedupIndex.cpp
    LIBS pixavella_shared)
# Two child processes append while this one drains.
pixavella_add_test(TestNoticeQueues
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestNoticeQueues.cpp
    LIBS pixavella_shared
    TIMEOUT 300)
pixavella_add_test(TestTimeLimitedStores
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestTimeLimitedStores.cpp
    LIBS pixavella_shared)

# The fetch cache is tested against the Immich double, whose targets are defined after this
# folder: register the test once the whole project has been read.
function(pixavella_add_fetch_cache_test dir)
    if(NOT TARGET immich_double_launcher OR NOT TARGET immich-double)
        message(WARNING "TestFetchCache skipped: the Immich double is not part of this build")
        return()
    endif()
    pixavella_add_test(TestFetchCache
        SOURCES ${dir}/TestFetchCache.cpp
        LIBS pixavella_shared immich_double_launcher)
    add_dependencies(TestFetchCache immich-double)
endfunction()
cmake_language(EVAL CODE "
    cmake_language(DEFER DIRECTORY [[${CMAKE_SOURCE_DIR}]]
        CALL pixavella_add_fetch_cache_test [[${CMAKE_CURRENT_LIST_DIR}]])")
