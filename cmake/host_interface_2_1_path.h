/* Where hosts built against pingext 2.0 and 2.1 include the header from
 * (<extension/host_interface.h>, with <prefix>/include/pingext searched).
 * The header is <pingext/host_interface.h>. */
#include "../host_interface.h"
