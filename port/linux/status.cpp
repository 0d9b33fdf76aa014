#include <cerrno>

#include "layer.h"

DWORD StatusFromErrno(int err) {
  switch (err) {
  case 0:
    return NO_ERROR;
  case ENOENT:
    return ERROR_FILE_NOT_FOUND;
  case ENOTDIR:
    return ERROR_PATH_NOT_FOUND;
  case EMFILE:
  case ENFILE:
    return ERROR_TOO_MANY_OPEN_FILES;
  case EACCES:
  case EPERM:
  case EISDIR:
    return ERROR_ACCESS_DENIED;
  case ENOMEM:
  case ENOBUFS:
    return ERROR_NOT_ENOUGH_MEMORY;
  case EROFS:
    return ERROR_WRITE_PROTECT;
  case ENOSPC:
  case EDQUOT:
    return ERROR_DISK_FULL;
  case EINVAL:
    return ERROR_INVALID_PARAMETER;
  default:
    return ERROR_GEN_FAILURE;
  }
}

DWORD GetLastError() { return StatusFromErrno(errno); }
