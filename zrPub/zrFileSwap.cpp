// Replacing a file whole through a new file renamed over the old one.
#include "zrFileSwap.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr mode_t kNewFileMode = 0666;    // narrowed by the umask, as fopen() does
constexpr mode_t kPermissionBits = 07777;
constexpr int kNameTries = 100;          // names tried before giving up on a free one
unsigned int s_nSwapSeq = 0;             // makes the new file's name unique in the process
}  // namespace

int OpenFileSwap(_tag_FileSwap_* swap, const char* path)
{
    swap->fdTmp = -1;
    swap->szTmpPath[0] = '\0';
    if (path[0] == '\0')
        return -1;
    if (realpath(path, swap->szDstPath) == nullptr) {
        int n = snprintf(swap->szDstPath, sizeof(swap->szDstPath), "%s", path);
        if (n < 0 || (size_t)n >= sizeof(swap->szDstPath))
            return -1;
    }

    struct stat old;
    bool bKeepMode = stat(swap->szDstPath, &old) == 0;

    for (int i = 0; i < kNameTries && swap->fdTmp < 0; ++i) {
        int n = snprintf(swap->szTmpPath, sizeof(swap->szTmpPath), "%s.%ld.%u.tmp",
                         swap->szDstPath, (long)getpid(), s_nSwapSeq++);
        if (n < 0 || (size_t)n >= sizeof(swap->szTmpPath))
            return -1;
        // O_EXCL: never reuse a file someone else left under that name.
        swap->fdTmp = open(swap->szTmpPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode);
        if (swap->fdTmp < 0 && errno != EEXIST)
            return -1;
    }
    if (swap->fdTmp < 0)
        return -1;
    if (bKeepMode && fchmod(swap->fdTmp, old.st_mode & kPermissionBits) != 0) {
        DropFileSwap(swap);
        return -1;
    }
    return 0;
}

int WriteFileSwap(_tag_FileSwap_* swap, const char* data, size_t len)
{
    while (len > 0) {
        ssize_t n = write(swap->fdTmp, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        data += n;
        len -= (size_t)n;
    }
    return 0;
}

int CommitFileSwap(_tag_FileSwap_* swap)
{
    int fd = swap->fdTmp;
    swap->fdTmp = -1;
    int iRet = fsync(fd);
    if (close(fd) != 0)
        iRet = -1;
    if (iRet == 0)
        iRet = rename(swap->szTmpPath, swap->szDstPath);
    if (iRet != 0) {
        unlink(swap->szTmpPath);
        return -1;
    }
    return 0;
}

void DropFileSwap(_tag_FileSwap_* swap)
{
    if (swap->fdTmp >= 0)
        close(swap->fdTmp);
    swap->fdTmp = -1;
    unlink(swap->szTmpPath);
}
