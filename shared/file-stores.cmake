target_sources(pixavella_shared PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/AssetNameStore.cpp
    ${CMAKE_CURRENT_LIST_DIR}/CancelledUploads.cpp
    ${CMAKE_CURRENT_LIST_DIR}/DeletionTombstones.cpp
    ${CMAKE_CURRENT_LIST_DIR}/DelayedCall.cpp
    ${CMAKE_CURRENT_LIST_DIR}/NamesServiceHealth.cpp
    ${CMAKE_CURRENT_LIST_DIR}/RenameQueue.cpp
    ${CMAKE_CURRENT_LIST_DIR}/StoreFileLock.cpp
    ${CMAKE_CURRENT_LIST_DIR}/StoreFiles.cpp
    ${CMAKE_CURRENT_LIST_DIR}/UploadJournal.cpp
    ${CMAKE_CURRENT_LIST_DIR}/UploadQuarantine.cpp
    ${CMAKE_CURRENT_LIST_DIR}/UploadTarget.cpp
)
