#include "core/restore/OutputFile.hpp"

#include "core/records/RecoverError.hpp"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace vellary {
namespace {

constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
constexpr mode_t kFileMode = 0644;

RecoverError couldNot(const char* verb, const std::string& name, int error) {
    return RecoverError::message(std::string("Couldn't ") + verb + " " + name + ". " +
                                 std::strerror(error));
}

} // namespace

OutputFile OutputFile::create(int folder, const std::string& name) {
    const int fd = ::openat(folder, name.c_str(), kCreateFlags, kFileMode);
    if (fd < 0) throw couldNot("create", name, errno);
    return {UniqueFd(fd), name};
}

std::optional<OutputFile> OutputFile::createIfFree(int folder, const std::string& name) {
    const int fd = ::openat(folder, name.c_str(), kCreateFlags, kFileMode);
    if (fd >= 0) return OutputFile(UniqueFd(fd), name);
    if (errno == EEXIST) return std::nullopt;
    throw couldNot("create", name, errno);
}

OutputFile OutputFile::create(const std::filesystem::path& path) {
    const std::string name = path.filename().string();
    const int fd = ::open(path.c_str(), kCreateFlags, kFileMode);
    if (fd < 0) throw couldNot("create", name, errno);
    return {UniqueFd(fd), name};
}

int OutputFile::writeFully(const WriteCall& call, std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = call(bytes.data() + done, bytes.size() - done);
        if (wrote < 0) {
            if (errno == EINTR) continue;
            return errno != 0 ? errno : EIO;
        }
        if (wrote == 0) return EIO;
        done += static_cast<std::size_t>(wrote);
    }
    return 0;
}

void OutputFile::write(std::span<const std::uint8_t> bytes) {
    const int fd = fd_.get();
    const int error = writeFully(
        [fd](const std::uint8_t* data, std::size_t size) { return ::write(fd, data, size); },
        bytes);
    if (error != 0) fail("write", error);
    // Start writing these bytes out now, so that copying overlaps with the disk's work and the
    // flush at the end finds little left to do. Only a hint: failures show up at the flush.
    ::sync_file_range(fd, written_, static_cast<off_t>(bytes.size()), SYNC_FILE_RANGE_WRITE);
    written_ += static_cast<off_t>(bytes.size());
}

void OutputFile::finish() {
    if (::fsync(fd_.get()) != 0) fail("save", errno);
    // A close can still report a delayed write error on some file systems.
    if (const int error = fd_.close(); error != 0) fail("save", error);
}

bool OutputFile::setDates(Date modified) {
    const double seconds = unixSeconds(modified);
    if (!std::isfinite(seconds) || std::fabs(seconds) > 1e15) return false;
    double whole = std::floor(seconds);
    long nanos = std::lround((seconds - whole) * 1e9);
    if (nanos >= 1000000000L) {
        whole += 1;
        nanos -= 1000000000L;
    }
    timespec times[2];
    times[0].tv_sec = static_cast<time_t>(whole);
    times[0].tv_nsec = nanos;
    times[1] = times[0];
    return ::futimens(fd_.get(), times) == 0;
}

void OutputFile::fail(const char* verb, int error) const {
    throw couldNot(verb, name_, error);
}

} // namespace vellary
