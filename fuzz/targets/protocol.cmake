# The protocol state machines against fuzzed peers, and the server link's rings and dispatcher.
ostrel_fuzz_target(sdo_client
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/sdo_client.cpp
  LIBS drennic_testable ostrel_simnode)
ostrel_fuzz_target(sdo_monitor
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/sdo_monitor.cpp
  LIBS drennic_testable)
ostrel_fuzz_target(lss_services
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/lss_services.cpp
  LIBS drennic_testable ostrel_simnode)
ostrel_fuzz_target(lss_fastscan
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/lss_fastscan.cpp
  LIBS drennic_testable ostrel_simnode)
ostrel_fuzz_target(link_rings
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/link_rings.cpp
  LIBS halvorn_transport)
# The ring tests' entries.
target_include_directories(fuzz_link_rings PRIVATE ${PROJECT_SOURCE_DIR}/test/halvorn)
ostrel_fuzz_target(link_dispatcher
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/link_dispatcher.cpp
  LIBS halvorn_server)
