#include "io_error.h"

#include <cerrno>
#include <cstring>

namespace quarry {
namespace {

ErrorKind kind_of(int errnum) {
  switch (errnum) {
    case ENOENT:
      return ErrorKind::NotFound;
    case EACCES:
    case EPERM:
      return ErrorKind::PermissionDenied;
    case EINVAL:
      return ErrorKind::InvalidInput;
    case EISDIR:
      return ErrorKind::IsADirectory;
    case ENOTDIR:
      return ErrorKind::NotADirectory;
    case EEXIST:
      return ErrorKind::AlreadyExists;
    case EFBIG:
      return ErrorKind::FileTooLarge;
    case EINTR:
      return ErrorKind::Interrupted;
    default:
      return ErrorKind::Other;
  }
}

}  // namespace

std::string os_error_description(int errnum) {
  char buffer[256];
  // The GNU strerror_r may return a static string instead of filling the buffer.
  return strerror_r(errnum, buffer, sizeof buffer);
}

IoError os_error(int errnum) {
  return IoError{kind_of(errnum),
                 os_error_description(errnum) + " (os error " + std::to_string(errnum) + ")"};
}

}  // namespace quarry
