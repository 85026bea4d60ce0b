// A seam for tests: makes a chosen system call of the file functions fail, so
// a test can show what each failure leaves on disk. The program never sets it;
// unset, it costs each call one load of a null pointer.
#pragma once

namespace dt {

// The calls that can be made to fail. Write covers write and pwrite. The sync
// of a folder after a rename is best effort and not among them.
enum class FileCall { Open, Write, Fsync, Rename, Truncate };

// Called before each such call; returns the errno the call fails with, or 0
// to let it run.
using FileCallFault = int (*)(FileCall call);

// Sets the hook for the whole process (nullptr: none).
void SetFileCallFault(FileCallFault hook);

}  // namespace dt
