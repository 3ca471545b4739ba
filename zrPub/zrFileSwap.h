// Replacing a file whole: the new text goes to a file beside the old one and
// is renamed over it once complete, so a failed write never costs the old text.
#ifndef ZRPUB_ZRFILESWAP_H
#define ZRPUB_ZRFILESWAP_H

#include <limits.h>
#include <sys/types.h>

// One replacement in progress: the open new file and where it will go.
struct _tag_FileSwap_ {
    int fdTmp;                   // the new file, open for writing; -1 when none
    char szTmpPath[PATH_MAX];    // the new file, in the same folder as the target
    char szDstPath[PATH_MAX];    // the file being replaced (symbolic links resolved)
};

// Creates the new file beside path: the old file's permissions when it exists,
// the default permissions (umask) otherwise. Returns 0; -1 on failure.
int OpenFileSwap(_tag_FileSwap_* swap, const char* path);

// Writes len bytes to the new file. Returns 0; -1 on failure.
int WriteFileSwap(_tag_FileSwap_* swap, const char* data, size_t len);

// Flushes the new file to disk and renames it over the old one. Returns 0;
// -1 on failure, the new file then removed and the old one untouched.
int CommitFileSwap(_tag_FileSwap_* swap);

// Gives up the replacement: closes and removes the new file.
void DropFileSwap(_tag_FileSwap_* swap);

#endif
