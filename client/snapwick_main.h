// One Snapwick run: update check, arguments, a fresh service, one request, the wait
// for its final response, the frame files and the outside program.
#pragma once

namespace snapwick {

// The process exit code: -1 when the arguments are rejected, else 0.
int SnapwickMain();

}  // namespace snapwick
