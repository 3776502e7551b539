# simmac: the simulated Mac's console.
file(GLOB SIMMAC_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp)
add_executable(simmac ${SIMMAC_SOURCES})
target_link_libraries(simmac PRIVATE host CLI11::CLI11)
set_target_properties(simmac PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/host/tools)
