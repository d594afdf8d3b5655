# find_package(pingext 1.0 CONFIG REQUIRED) gives:
#   pingext::headers  the include directory of "extension/host_interface.h"
#   pingext::pingext  the installed library; $<TARGET_FILE:pingext::pingext>
#                     is the path a host loads (nothing links it)
# Relocatable: the paths follow wherever the prefix is, the unpacked Windows
# ZIP included.
include(${CMAKE_CURRENT_LIST_DIR}/pingextTargets.cmake)
