# Finds Node-API's headers and adds the Node.js host when LUMIVEX_BUILD_NODE
# asks for it (ON: required, AUTO: when the headers are found).
if(LUMIVEX_BUILD_NODE STREQUAL "OFF")
  return()
endif()

find_program(LUMIVEX_NODE_EXECUTABLE node)
set(node_hints "")
if(LUMIVEX_NODE_EXECUTABLE)
  get_filename_component(node_bin "${LUMIVEX_NODE_EXECUTABLE}" REALPATH)
  get_filename_component(node_prefix "${node_bin}" DIRECTORY)
  get_filename_component(node_prefix "${node_prefix}" DIRECTORY)
  list(APPEND node_hints "${node_prefix}/include/node")
endif()
find_path(LUMIVEX_NODE_API_INCLUDE node_api.h
  HINTS ENV LUMIVEX_NODE_API_INCLUDE ${node_hints}
  PATH_SUFFIXES node include/node include)

if(LUMIVEX_NODE_API_INCLUDE)
  message(STATUS "Node.js host: Node-API headers in ${LUMIVEX_NODE_API_INCLUDE}")
  add_subdirectory(host/node)
elseif(LUMIVEX_BUILD_NODE STREQUAL "ON")
  message(FATAL_ERROR "LUMIVEX_BUILD_NODE=ON but node_api.h was not found; set LUMIVEX_NODE_API_INCLUDE")
else()
  message(STATUS "Node.js host: Node-API headers not found, not built")
endif()
