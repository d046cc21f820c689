target_sources(pixavella_shared PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/ClientAnswers.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ClientPaging.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ImmichClient.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ImmichUpload.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SearchPageReader.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TransientErrors.cpp
)
