target_sources(pixavella_shared PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/ImmichRecords.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ImmichDate.cpp
    ${CMAKE_CURRENT_LIST_DIR}/AlbumAccess.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ClientError.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SharedSettings.cpp
)
