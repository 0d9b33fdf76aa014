#include <cerrno>

#include "layer.h"

namespace {

// Every errno that opening, writing or closing the file, or the netlink
// socket's calls, can give, as the Windows code whose text says what
// happened. A sandbox that refuses netlink (a service manager's address
// families, a seccomp filter, an emulator) gives one of the "not
// supported" codes.
DWORD WindowsCodeFor(int err) {
  switch (err) {
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
  case EBADF:
  case ENOTSOCK:
    return ERROR_INVALID_HANDLE;
  case ENOMEM:
  case ENOBUFS:
    return ERROR_NOT_ENOUGH_MEMORY;
  case EBADMSG:
  case EPROTO:
  case EMSGSIZE:
    return ERROR_INVALID_DATA; // a reply that cannot be read
  case EROFS:
    return ERROR_WRITE_PROTECT;
  case ENODEV:
  case ENXIO:
    return ERROR_BAD_UNIT;
  case EBUSY:
  case ETXTBSY:
    return ERROR_SHARING_VIOLATION;
  case EAFNOSUPPORT:
  case EPFNOSUPPORT:
  case EPROTONOSUPPORT:
  case ESOCKTNOSUPPORT:
  case EOPNOTSUPP:
    return ERROR_NOT_SUPPORTED;
  case EEXIST:
    return ERROR_FILE_EXISTS;
  case EINVAL:
    return ERROR_INVALID_PARAMETER;
  case EPIPE:
    return ERROR_BROKEN_PIPE;
  case ENOSPC:
  case EDQUOT:
    return ERROR_DISK_FULL;
  case ENOSYS:
    return ERROR_CALL_NOT_IMPLEMENTED;
  case ENAMETOOLONG:
    return ERROR_FILENAME_EXCED_RANGE;
  case EFBIG:
    return ERROR_FILE_TOO_LARGE;
  case EFAULT:
    return ERROR_INVALID_ADDRESS;
  case EINTR:
    return ERROR_OPERATION_ABORTED;
  case EIO:
    return ERROR_IO_DEVICE;
  case EAGAIN:
  case ETIMEDOUT:
    return ERROR_TIMEOUT;
  case ELOOP:
    return ERROR_CANT_RESOLVE_FILENAME;
  default:
    return NO_ERROR;
  }
}

} // namespace

DWORD StatusFromErrno(int err) {
  if (err == 0) {
    return NO_ERROR;
  }
  const DWORD code = WindowsCodeFor(err);
  if (code != NO_ERROR) {
    return code;
  }
  // The rest keep their own number, and so the C library's text for it.
  if (err > 0 && err <= kLastErrno) {
    return APPLICATION_ERROR_MASK | static_cast<DWORD>(err);
  }
  return ERROR_INTERNAL_ERROR;
}

DWORD StatusFromFailure(int err) {
  const DWORD code = StatusFromErrno(err);
  return code != NO_ERROR ? code : ERROR_INTERNAL_ERROR;
}
