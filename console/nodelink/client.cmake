# The client of remote mode: one connection to another console's node-link server.
add_library(kelcon_nodeclient STATIC
  ClientSensors.cpp
  NodeClient.cpp
)
target_include_directories(kelcon_nodeclient PUBLIC ${CMAKE_SOURCE_DIR}/console)
target_link_libraries(kelcon_nodeclient PUBLIC kelcon_console kelcon_nodelinkcodec Qt6::Network)
