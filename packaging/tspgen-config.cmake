include("${CMAKE_CURRENT_LIST_DIR}/tspgen-targets.cmake")
