#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "support/fd.h"

// Opening files inside a directory that someone else may have filled with
// symbolic links, FIFOs or device nodes.
namespace velquin::support {

// How symbolic links met while resolving a path below a directory are treated.
enum class Links {
  refuse,   // no link in any component (ELOOP)
  beneath,  // followed while they resolve below the directory (EXDEV otherwise)
};

// Opens the relative path rel below dir_fd; the result never lies outside it
// ("..", absolute links). O_CLOEXEC is added. Kernels without openat2 walk the
// components with O_NOFOLLOW, refusing every link. Invalid with errno on failure.
UniqueFd open_beneath(int dir_fd, std::string_view rel, int flags, Links links);

// Opens for reading the file that an O_PATH descriptor names, only when it is
// a regular file, so that FIFOs and devices are never opened; st receives its
// status. Invalid with errno (EISDIR, ELOOP for a link, EINVAL) otherwise.
UniqueFd open_regular(int path_fd, struct stat& st);

// Appends what fd holds to out, but never more than limit + 1 bytes: a result
// longer than limit means the file is larger. False with errno on a read error.
bool read_up_to(int fd, std::size_t limit, std::string& out);

}  // namespace velquin::support
