// Replacing a file whole through a new file renamed over the old one, or in
// place where a rename would change the file.
#include "zrFileSwap.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr mode_t kNewFileMode = 0666;  // narrowed by the umask, as fopen() does
constexpr mode_t kPermissionBits = 07777;
constexpr int kNameTries = 100;   // names tried before giving up on a free one
constexpr int kMaxLinkHops = 40;  // symbolic links followed to a missing target, as the kernel does
unsigned int s_nSwapSeq = 0;      // makes the new file's name unique in the process

// Creates a new, empty file beside the target. Returns its descriptor; -1 on
// failure (errno tells why).
int CreateBeside(_tag_FileSwap_* swap)
{
    for (int i = 0; i < kNameTries; ++i) {
        int n = snprintf(swap->szTmpPath, sizeof(swap->szTmpPath), "%s.%ld.%u.tmp", swap->szDstPath, (long)getpid(),
                         s_nSwapSeq++);
        if (n < 0 || (size_t)n >= sizeof(swap->szTmpPath)) {
            errno = ENAMETOOLONG;
            return -1;
        }
        // O_EXCL: never reuse a file someone else left under that name.
        int fd = open(swap->szTmpPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

// Finds the file that path names: symbolic links resolved, and for a link
// whose target is missing, that target (a relative one taken from the link's
// folder). Returns 0 with it in dst; -1 when it does not fit or the links loop.
int ResolveTarget(const char* path, char (&dst)[PATH_MAX])
{
    if (realpath(path, dst) != nullptr)
        return 0;
    char cur[PATH_MAX];
    int n = snprintf(cur, sizeof(cur), "%s", path);
    for (int hop = 0; n >= 0 && (size_t)n < sizeof(cur) && hop < kMaxLinkHops; ++hop) {
        char to[PATH_MAX];
        ssize_t len = readlink(cur, to, sizeof(to) - 1);
        if (len < 0) {
            n = snprintf(dst, sizeof(dst), "%s", cur);
            return n >= 0 && (size_t)n < sizeof(dst) ? 0 : -1;
        }
        to[len] = '\0';
        const char* slash = strrchr(cur, '/');
        if (to[0] == '/' || slash == nullptr) {
            n = snprintf(cur, sizeof(cur), "%s", to);
        } else {
            char folder[PATH_MAX];
            snprintf(folder, sizeof(folder), "%.*s", (int)(slash - cur), cur);
            n = snprintf(cur, sizeof(cur), "%s/%s", folder, to);
        }
    }
    return -1;
}

// Gives the new file the old one's owner and mode. Returns 0; -1 on failure.
int KeepOwnerAndMode(int fd, const struct stat& old)
{
    struct stat now;
    if (fstat(fd, &now) != 0)
        return -1;
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) && fchown(fd, old.st_uid, old.st_gid) != 0)
        return -1;
    return fchmod(fd, old.st_mode & kPermissionBits);
}
}  // namespace

int OpenFileSwap(_tag_FileSwap_* swap, const char* path)
{
    swap->fdTmp = -1;
    swap->bInPlace = false;
    swap->szTmpPath[0] = '\0';
    if (path[0] == '\0')
        return -1;
    if (ResolveTarget(path, swap->szDstPath) != 0)
        return -1;

    // The target itself must take the write, whichever way it is written
    // (O_NONBLOCK: a FIFO without a reader is refused, not waited for).
    int fdOld = open(swap->szDstPath, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fdOld < 0 && errno != ENOENT)
        return -1;
    struct stat old;
    if (fdOld >= 0 && fstat(fdOld, &old) != 0) {
        close(fdOld);
        return -1;
    }

    if (fdOld < 0 || (S_ISREG(old.st_mode) && old.st_nlink == 1)) {
        swap->fdTmp = CreateBeside(swap);
        if (swap->fdTmp >= 0 && fdOld >= 0 && KeepOwnerAndMode(swap->fdTmp, old) != 0)
            DropFileSwap(swap);
    }
    if (swap->fdTmp >= 0 || fdOld < 0) {
        if (fdOld >= 0)
            close(fdOld);
        return swap->fdTmp >= 0 ? 0 : -1;
    }

    // In place, as an ordinary rewrite does: not a regular file (a device or a
    // FIFO with a reader takes the text as written), several links, a folder
    // that takes no new file, or an owner the new file cannot be given.
    int flags = fcntl(fdOld, F_GETFL);
    bool bReady = flags >= 0 && fcntl(fdOld, F_SETFL, flags & ~O_NONBLOCK) == 0;  // writes wait for a slow reader
    if (!bReady || (S_ISREG(old.st_mode) && ftruncate(fdOld, 0) != 0)) {
        close(fdOld);
        return -1;
    }
    swap->fdTmp = fdOld;
    swap->bInPlace = true;
    snprintf(swap->szTmpPath, sizeof(swap->szTmpPath), "%s", swap->szDstPath);
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
    if (swap->bInPlace)
        return close(fd) == 0 ? 0 : -1;
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
    if (!swap->bInPlace)
        unlink(swap->szTmpPath);
}
