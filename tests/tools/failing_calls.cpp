// Preloaded into the tool by some tests: the call named in ZQ_FAIL fails as a broken disk or memory running
// out would make it fail. "close" and "fsync-folder" touch only files open for writing and folders.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

bool failing(const char* call) {
    const char* name = std::getenv("ZQ_FAIL");
    return name && !std::strcmp(name, call);
}

template <typename F>
F next(F, const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

bool is(int fd, mode_t type) {
    struct stat st;
    return fstat(fd, &st) == 0 && (st.st_mode & S_IFMT) == type;
}

}  // namespace

extern "C" int fchmod(int fd, mode_t mode) {
    if (failing("fchmod")) return errno = EIO, -1;
    return next(&fchmod, "fchmod")(fd, mode);
}

extern "C" int fsync(int fd) {
    if (failing("fsync-folder") && is(fd, S_IFDIR)) return errno = EIO, -1;
    return next(&fsync, "fsync")(fd);
}

// The descriptor is closed all the same, as close(2) does on an error.
extern "C" int close(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    const bool fail = failing("close") && flags >= 0 && (flags & O_ACCMODE) != O_RDONLY && is(fd, S_IFREG);
    const int result = next(&close, "close")(fd);
    return fail ? (errno = EIO, -1) : result;
}

// On every thread but the first: the tool's worker threads.
extern "C" void* aligned_alloc(size_t alignment, size_t size) {
    if (failing("thread-alloc") && gettid() != getpid()) return errno = ENOMEM, nullptr;
    return next(&aligned_alloc, "aligned_alloc")(alignment, size);
}
