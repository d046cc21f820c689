# The server's event channel: socket.io over Qt's WebSocket client.
target_sources(pixavella_shared PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/ServerEventChannel.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SocketIoFrames.cpp
)
target_link_libraries(pixavella_shared PUBLIC Qt6::WebSockets)
