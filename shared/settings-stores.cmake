# Small stores kept in the shared settings suite, the activity tracker, the pedagogical
# notices and the in-memory fetch cache.
target_sources(pixavella_shared PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/SettingsShapes.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TextQueue.cpp
    ${CMAKE_CURRENT_LIST_DIR}/DedupIndex.cpp
    ${CMAKE_CURRENT_LIST_DIR}/UserNoticeQueue.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PromotedPendingList.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SyncActivityState.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SyncActivity.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PedagogicalNotice.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PedagogicalNoticeQueue.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FetchCache.cpp
    ${CMAKE_CURRENT_LIST_DIR}/EnumerationSnapshots.cpp
)
