// On Windows the tool uses the system's own headers and import libraries.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <iphlpapi.h>
#include <windows.h>
#include <winsock2.h> // must precede windows.h
