# The targets of the files the program reads: data sheets, network descriptions, INI files and the
# registry, test configurations, DCFs, reports, expressions.
ostrel_fuzz_target(expressions SOURCES ${CMAKE_CURRENT_LIST_DIR}/expressions.cpp LIBS vessolt_core)
ostrel_fuzz_target(report_check SOURCES ${CMAKE_CURRENT_LIST_DIR}/report_check.cpp LIBS vessolt_core)
ostrel_fuzz_target(ini SOURCES ${CMAKE_CURRENT_LIST_DIR}/ini.cpp LIBS ostrel_platform)
ostrel_fuzz_target(registry SOURCES ${CMAKE_CURRENT_LIST_DIR}/registry.cpp LIBS ostrel_platform)
ostrel_fuzz_target(eds_import SOURCES ${CMAKE_CURRENT_LIST_DIR}/eds_import.cpp LIBS vessolt_core)
find_package(EXPAT REQUIRED)
ostrel_fuzz_target(network_description SOURCES ${CMAKE_CURRENT_LIST_DIR}/network_description.cpp LIBS vessolt_core EXPAT::EXPAT)
ostrel_fuzz_target(dcf_writer SOURCES ${CMAKE_CURRENT_LIST_DIR}/dcf_writer.cpp LIBS drennic_testable)
ostrel_fuzz_target(test_configuration SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_configuration.cpp LIBS vessolt_timing)
