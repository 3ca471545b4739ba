// Test helper: makes writes of this process fail past a size, as a full disk would.
#ifndef TESTS_UNIT_FILE_LIMIT_H
#define TESTS_UNIT_FILE_LIMIT_H

#include <signal.h>
#include <sys/resource.h>

// Limits the size of files this process may write, for the scope of the object
// (SIGXFSZ ignored, so a write past the limit fails with EFBIG).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &old_);
        oldHandler_ = signal(SIGXFSZ, SIG_IGN);
        rlimit lim = old_;
        lim.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lim);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &old_);
        signal(SIGXFSZ, oldHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit old_;
    sighandler_t oldHandler_;
};

#endif
