// Stream::save_checkpoint and load_checkpoint: the file side of
// checkpoints. The text form itself lives in checkpoint_format.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "checkpoint_format.hpp"
#include "stream.hpp"

namespace ravik {

namespace {

constexpr const char* kWriteFailed = "write checkpoint failed";
constexpr const char* kReadFailed = "read checkpoint failed";

// Owns one open descriptor.
class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }

private:
    int fd_;
};

// The directory part of a path with its trailing '/', or "" for a bare name.
std::string directory_prefix(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The file a path names once its symbolic links are followed (the last one
// may dangle: the file it names is then the one to create). A save replaces
// that file, not the link. Stops after 40 links, as the system does; the
// rename then replaces the last link.
std::string follow_links(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
        std::string target(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 255) + 1, '\0');
        const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) return path;  // changed meanwhile
        target.resize(static_cast<std::size_t>(n));
        path = target.front() == '/' ? target : directory_prefix(path) + target;
    }
    return path;
}

// A new file beside the target that becomes the target only by commit_to();
// until then the destructor removes it. The name is unique per process and
// call; O_EXCL guarantees that no existing file is ever reused or clobbered.
class PendingFile {
public:
    explicit PendingFile(const std::string& target) {
        static std::atomic<std::uint64_t> sequence{0};
        const std::string prefix = directory_prefix(target) + ".ravik-checkpoint-";
        for (int attempt = 0; attempt < 100; ++attempt) {
            const auto stamp = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
            std::string name = prefix + std::to_string(::getpid()) + '-' +
                               std::to_string(sequence.fetch_add(1, std::memory_order_relaxed)) + '-' +
                               std::to_string(stamp) + ".tmp";
            // Mode 0666: the umask applies as it would to a file written in place.
            const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) {
                fd_ = fd;
                path_ = std::move(name);
                return;
            }
            if (errno != EEXIST && errno != EINTR) return;
        }
    }
    ~PendingFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    bool created() const noexcept { return fd_ >= 0; }

    bool write_all(std::string_view data) noexcept {
        while (!data.empty()) {
            const ssize_t n = ::write(fd_, data.data(), data.size());
            if (n < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            data.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }

    // Gives the new file the permission bits (and, where allowed, the owner)
    // of the file it replaces: a private checkpoint stays private. A new
    // target keeps the mode the umask gave it.
    void take_attributes_of(const std::string& target) noexcept {
        struct stat info {};
        if (::stat(target.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return;
        ::fchmod(fd_, info.st_mode & 07777);
        struct stat mine {};
        if (::fstat(fd_, &mine) == 0 && (mine.st_uid != info.st_uid || mine.st_gid != info.st_gid)) {
            // Only a privileged process may give a file away; otherwise the
            // new file stays the caller's.
            if (::fchown(fd_, info.st_uid, info.st_gid) == 0) ::fchmod(fd_, info.st_mode & 07777);
        }
    }

    // Makes the content durable, closes the file and renames it over target.
    bool commit_to(const std::string& target) noexcept {
        int rc;
        do {
            rc = ::fsync(fd_);
        } while (rc != 0 && errno == EINTR);
        // A late write error can surface at close. Not retried on EINTR:
        // Linux has released the descriptor either way.
        const bool closed = ::close(std::exchange(fd_, -1)) == 0;
        if (rc != 0 || !closed) return false;
        if (::rename(path_.c_str(), target.c_str()) != 0) return false;
        path_.clear();  // it is the target now
        return true;
    }

private:
    int fd_ = -1;
    std::string path_;  // empty when there is nothing to remove
};

// Persists a completed rename. Best effort: the file content is already
// durable, only the directory entry may still be in flight.
void sync_directory(const std::string& dir) noexcept {
    Descriptor fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid()) ::fsync(fd.get());
}

}  // namespace

void Stream::save_checkpoint(const std::string& path) {
    // A NUL would end the name early for the system, so that another file
    // would be written; such a path names no file.
    if (path.find('\0') != std::string::npos) throw std::runtime_error(kWriteFailed);
    // Snapshot under the state lock; the file work happens outside it, so
    // processing is held up only for the formatting.
    std::string content;
    {
        std::lock_guard<std::mutex> lock(state_mutex);
        if (!checkpoint_representable(state)) {
            throw std::runtime_error("checkpoint cannot store line breaks or tabs in ids or keys");
        }
        content = format_checkpoint(state);
    }
    // The new content goes to a temporary file that is made durable and then
    // renamed over the target: whatever happens, the target holds either the
    // previous checkpoint or this one, whole. Renaming onto a directory fails.
    // A symbolic link is followed: the file it names is replaced, and the
    // temporary file goes beside that file (a rename cannot cross file
    // systems). A hard link keeps the old content: the rename gives the
    // path a new file.
    const std::string target = follow_links(path);
    std::string dir = directory_prefix(target);
    if (dir.empty()) dir.push_back('.');
    PendingFile pending(target);
    if (!pending.created()) throw std::runtime_error(kWriteFailed);
    pending.take_attributes_of(target);
    if (!pending.write_all(content) || !pending.commit_to(target)) throw std::runtime_error(kWriteFailed);
    sync_directory(dir);
    Stats::add(counters.checkpoint_saves, 1);
}

void Stream::load_checkpoint(const std::string& path) {
    std::string content;
    {
        // As for saving, a path holding a NUL names no file.
        if (path.find('\0') != std::string::npos) throw std::runtime_error(kReadFailed);
        // Regular files only. Opening a FIFO for reading would block (with
        // the interpreter lock held) until some writer appears, and a device
        // such as /dev/zero never ends; O_NONBLOCK keeps the open itself from
        // waiting, and it changes nothing for the reads of a regular file.
        Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
        if (!fd.valid()) throw std::runtime_error(kReadFailed);
        struct stat info {};
        if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) throw std::runtime_error(kReadFailed);
        if (info.st_size > 0) content.reserve(static_cast<std::size_t>(info.st_size));
        char buf[65536];
        for (;;) {
            const ssize_t n = ::read(fd.get(), buf, sizeof buf);
            if (n < 0) {
                if (errno == EINTR) continue;
                throw std::runtime_error(kReadFailed);
            }
            if (n == 0) break;
            content.append(buf, static_cast<std::size_t>(n));
        }
    }
    // Parsed completely before the stream's state is touched, so a failure
    // (memory) leaves the old state in place.
    ProcessorState loaded = parse_checkpoint(content);
    {
        std::lock_guard<std::mutex> lock(state_mutex);
        std::swap(state, loaded);
    }
    // `loaded` now holds the previous state; it is freed here, outside the lock.
    Stats::add(counters.checkpoint_loads, 1);
}

}  // namespace ravik
