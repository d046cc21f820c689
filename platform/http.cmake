target_sources(pixavella_platform PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/HttpFileUpload.cpp
    ${CMAKE_CURRENT_LIST_DIR}/HttpSession.cpp
    ${CMAKE_CURRENT_LIST_DIR}/HttpUploadBody.cpp
)
