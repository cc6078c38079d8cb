// The command's signal policy, set once by main.
#pragma once

namespace lumtab {

// A fatal signal removes the named temporary files of the outputs being written
// before it ends the process (one ignored stays ignored): its handler is set
// before the first such file is named, as no run needs it before. SIGXFSZ is
// ignored, so that a write past the file size limit fails with
// EFBIG instead of killing the process before it can clean up.
void set_signal_policy();

}  // namespace lumtab
