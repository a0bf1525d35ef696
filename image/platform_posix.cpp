#include "image/platform.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "image/output.hpp"

namespace cardwrap::platform {
namespace {

// Linux's own bound on the links followed in one path.
constexpr int MAX_LINK_HOPS = 40;

constexpr int INTERRUPTS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The temporary file an interrupt must remove. Set and cleared only with the
// interrupts blocked, so the handler never sees it half-way.
// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
const char *volatile armed_temp = nullptr;

extern "C" void on_interrupt(int sig)
{
    if (armed_temp != nullptr)
        unlink(armed_temp);
    // The handler was reset to the default on entry; raised again, the
    // signal ends the process once the handler returns, so the shell sees
    // the same status as without the handler.
    std::raise(sig);
}

void catch_interrupts()
{
    struct sigaction act {};
    act.sa_handler = on_interrupt; // NOLINT(cppcoreguidelines-pro-type-union-access)
    act.sa_flags = static_cast<int>(SA_RESETHAND);
    sigemptyset(&act.sa_mask);
    for (const int sig : INTERRUPTS)
        sigaddset(&act.sa_mask, sig);
    for (const int sig : INTERRUPTS) {
        struct sigaction old {};
        // A shell that starts us in the background ignores interrupts for
        // us; they stay ignored.
        if (sigaction(sig, nullptr, &old) == 0 &&
            old.sa_handler != SIG_IGN) // NOLINT(cppcoreguidelines-pro-type-union-access)
            sigaction(sig, &act, nullptr);
    }
}

void block_interrupts(sigset_t &saved)
{
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : INTERRUPTS)
        sigaddset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, &saved);
}

void restore_interrupts(const sigset_t &saved)
{
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

// The folder that holds `path`, "." for a bare name.
void folder_of(const char *path, char (&folder)[OUTPUT_PATH_LEN])
{
    const char *slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        std::memcpy(folder, ".", 2);
        return;
    }
    const auto len = slash == path ? 1 : static_cast<std::size_t>(slash - path);
    std::memcpy(folder, path, len);
    folder[len] = '\0';
}

// In a sticky folder (/tmp) only a file's owner may rename over it; anyone
// else who may write the file writes it in place, as before.
bool may_replace(const char *target, const struct stat &file)
{
    const uid_t self = geteuid();
    if (self == 0 || file.st_uid == self)
        return true;
    char folder[OUTPUT_PATH_LEN];
    folder_of(target, folder);
    struct stat dir {};
    return stat(folder, &dir) != 0 || (dir.st_mode & S_ISVTX) == 0 || dir.st_uid == self;
}

bool take_attributes(int fd, const struct stat &like)
{
    // Only a privileged user may give a file away; anyone may try, and a
    // refusal leaves the new file this user's own. The group alone may
    // still be one of this user's.
    if (fchown(fd, like.st_uid, like.st_gid) != 0 &&
        fchown(fd, static_cast<uid_t>(-1), like.st_gid) != 0) {
    }
    // Permissions after the owner: a change of owner clears set-user-ID.
    return fchmod(fd, like.st_mode & 07777) == 0;
}

create_status refusal(int err)
{
    if (err == EEXIST)
        return create_status::exists;
    // No right to add a name to the folder, or no room for the suffix in
    // the name: the output itself may still be writable.
    if (err == EACCES || err == EPERM || err == ENAMETOOLONG)
        return create_status::unavailable;
    return create_status::failed;
}

} // namespace

void ignore_write_signals()
{
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

// The bytes typed are the bytes received.
bool argument_as_typed(int /*index*/, const char * /*arg*/)
{
    return true;
}

bool resolve_links(const char *path, char *target, int target_len)
{
    const std::size_t len = std::strlen(path);
    const auto room = static_cast<std::size_t>(target_len);
    if (len >= room)
        return false;
    std::memcpy(target, path, len + 1);
    char link[OUTPUT_PATH_LEN];
    for (int hops = 0; hops < MAX_LINK_HOPS; ++hops) {
        const ssize_t got = readlink(target, link, sizeof link);
        // Not a link, or nothing there: this is where the image goes. Any
        // other trouble with the path shows when it is opened.
        if (got < 0)
            return true;
        const auto n = static_cast<std::size_t>(got);
        if (n == sizeof link)
            return false;
        link[n] = '\0';
        // A relative link is read from the folder that holds it.
        std::size_t keep = 0;
        if (link[0] != '/') {
            const char *slash = std::strrchr(target, '/');
            keep = slash == nullptr ? 0 : static_cast<std::size_t>(slash - target) + 1;
        }
        if (keep + n >= room)
            return false;
        std::memcpy(target + keep, link, n + 1);
    }
    return false;
}

file_kind probe(const char *path)
{
    struct stat st {};
    if (stat(path, &st) != 0)
        return errno == ENOENT ? file_kind::absent : file_kind::unwritable;
    if (S_ISDIR(st.st_mode))
        return file_kind::unwritable;
    if (!S_ISREG(st.st_mode))
        return file_kind::other;
    // Opened, not truncated, only to learn whether this user may write it:
    // replacing it must not get round its protection.
    const int fd = open(path, O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return file_kind::unwritable;
    close(fd);
    return file_kind::regular;
}

unsigned process_id()
{
    return static_cast<unsigned>(getpid());
}

create_status create_temp(const char *temp, const char *like, std::FILE *&stream)
{
    struct stat old {};
    if (like != nullptr && (stat(like, &old) != 0 || !may_replace(like, old)))
        return create_status::unavailable;

    catch_interrupts();
    sigset_t saved;
    block_interrupts(saved);
    // 0666, as fopen creates a file: the umask and any default ACL then
    // give a new output the permissions it always had.
    const int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    const int err = errno;
    if (fd >= 0)
        armed_temp = temp;
    restore_interrupts(saved);
    if (fd < 0)
        return refusal(err);

    if ((like != nullptr && !take_attributes(fd, old)) || (stream = fdopen(fd, "wb")) == nullptr) {
        close(fd);
        discard(temp);
        return create_status::failed;
    }
    return create_status::ok;
}

bool sync(std::FILE *stream)
{
    return std::fflush(stream) == 0 && fsync(fileno(stream)) == 0;
}

bool replace(const char *temp, const char *target)
{
    sigset_t saved;
    block_interrupts(saved);
    const bool renamed = std::rename(temp, target) == 0;
    if (renamed)
        armed_temp = nullptr;
    restore_interrupts(saved);
    if (!renamed)
        return false;

    // The rename itself reaches the device with the folder. Some file
    // systems cannot sync a folder, and the image is whole and in place
    // either way, so a failure here is no reason to call the write failed.
    char folder[OUTPUT_PATH_LEN];
    folder_of(target, folder);
    const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
    return true;
}

void discard(const char *temp)
{
    sigset_t saved;
    block_interrupts(saved);
    unlink(temp);
    armed_temp = nullptr;
    restore_interrupts(saved);
}

} // namespace cardwrap::platform
