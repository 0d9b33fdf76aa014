// GetLastError in a unit of its own, so that a test's fake platform can
// stand in for it alone and still pass the C library's failures through.
#include <cerrno>

#include "layer.h"

DWORD GetLastError() { return StatusFromErrno(errno); }
