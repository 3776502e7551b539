# The pane's hosts: prefhost (System Preferences), tarnwickctl (the pane from a
# terminal) and loginwindow (the login window, which needs no Qt).
set(PANE_TOOLS_DIR ${CMAKE_CURRENT_LIST_DIR})

add_executable(loginwindow ${PANE_TOOLS_DIR}/loginwindow.cpp)
target_link_libraries(loginwindow PRIVATE host tools_common)

if(TARGET hostui AND EXISTS ${PANE_TOOLS_DIR}/prefhost.cpp AND EXISTS ${PANE_TOOLS_DIR}/tarnwickctl.cpp)
  # The lock that lets one pane session at a time run on a simulated Mac.
  add_library(pane_session STATIC ${PANE_TOOLS_DIR}/PaneSessionLock.cpp)
  target_link_libraries(pane_session PUBLIC host)
  # What a pane session met, for the hosts' messages and exit statuses.
  add_library(pane_outcome STATIC ${PANE_TOOLS_DIR}/PaneOutcome.cpp)
  target_link_libraries(pane_outcome PUBLIC host hostui)

  add_executable(prefhost ${PANE_TOOLS_DIR}/prefhost.cpp)
  target_link_libraries(prefhost PRIVATE host hostui pane_session pane_outcome tools_common Qt6::Widgets)

  add_executable(tarnwickctl ${PANE_TOOLS_DIR}/tarnwickctl.cpp)
  target_link_libraries(tarnwickctl PRIVATE host hostui pane_session pane_outcome tools_common Qt6::Widgets)
  set(PANE_TOOL_TARGETS prefhost tarnwickctl)
endif()

set_target_properties(loginwindow ${PANE_TOOL_TARGETS} PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/host/tools)
