# The protocol state machines against fuzzed peers, and the server link's rings and dispatcher.
ostrel_fuzz_target(sdo_client
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/sdo_client.cpp
  LIBS drennic_testable ostrel_simnode)
ostrel_fuzz_target(sdo_monitor
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/sdo_monitor.cpp
  LIBS drennic_testable)
