// Replacing a file whole: the new text goes to a file beside the old one and
// is renamed over it once complete, so a failed write never costs the old text.
// Only a regular file is replaced so: anything else (a device, a FIFO with a
// reader) takes the text in place, and so does a file a rename would change
// (its owner or mode, its other hard links) or a folder that takes no new file.
// A symbolic link stays a link: its target is replaced, or created when missing.
#ifndef ZRPUB_ZRFILESWAP_H
#define ZRPUB_ZRFILESWAP_H

#include <limits.h>
#include <sys/types.h>

// One replacement in progress: the open file being written and where it goes.
struct _tag_FileSwap_ {
    int fdTmp;                 // the file being written, open for writing; -1 when none
    bool bInPlace;             // fdTmp is the target itself, truncated
    char szTmpPath[PATH_MAX];  // the file being written: beside the target, or the target
    char szDstPath[PATH_MAX];  // the file being replaced (symbolic links followed)
};

// Opens the file the new text goes to, through any symbolic links. A target
// that exists must open for writing (a FIFO without a reader does not), else
// nothing is touched; for a regular file the new file beside it then gets its
// mode and owner, or, when it has more than one link or that is not possible,
// the target is truncated and written in place; anything else is written in
// place as it is. A missing target is created with the default permissions
// (umask). Returns 0; -1 on failure.
int OpenFileSwap(_tag_FileSwap_* swap, const char* path);

// Writes len bytes to the file being written. Returns 0; -1 on failure.
int WriteFileSwap(_tag_FileSwap_* swap, const char* data, size_t len);

// Flushes the new file to disk and renames it over the old one (closes it when
// written in place). Returns 0; -1 on failure, a new file then removed and the
// old one untouched.
int CommitFileSwap(_tag_FileSwap_* swap);

// Gives up the replacement: closes the file being written and removes it when
// it is a new one.
void DropFileSwap(_tag_FileSwap_* swap);

#endif
