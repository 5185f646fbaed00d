#include "core/io/FileBlockReader.hpp"

#include "core/records/RecoverError.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace vellary {
namespace {

bool meansGone(int error) {
    return error == ENXIO || error == EBADF || error == ENODEV || error == ENOMEDIUM;
}

} // namespace

FileBlockReader::FileBlockReader(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        throw RecoverError::readFailed("Couldn't open " + path.string() + ". " +
                                       std::strerror(error));
    }
    fd_ = fd;
    ownsDescriptor_ = true;
    setUp(512, false, std::nullopt);
}

FileBlockReader::FileBlockReader(int descriptor, std::int64_t blockSize, bool alignReads,
                                 std::optional<std::uint64_t> expectedSize, bool owns)
    : fd_(descriptor), ownsDescriptor_(owns) {
    setUp(blockSize, alignReads, expectedSize);
}

void FileBlockReader::setUp(std::int64_t blockSize, bool alignReads,
                            std::optional<std::uint64_t> expectedSize) {
    auto fail = [&](const char* text) {
        if (ownsDescriptor_) ::close(fd_);
        fd_ = -1;
        throw RecoverError::readFailed(text);
    };
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags != -1) {
        const int mode = flags & O_ACCMODE;
        if (mode == O_WRONLY || mode == O_RDWR)
            fail("Refusing to use a descriptor that can write.");
    }
    std::uint64_t size = measuredSize(fd_).value_or(0);
    if (size == 0 && expectedSize) size = *expectedSize;
    if (size == 0) fail("Couldn't read the size of the disk.");
    size_ = size;
    blockSize_ = std::max<std::int64_t>(blockSize, 512);
    align_ = alignReads;
    if (align_) {
        // Linux has no per-descriptor cache switch; these hints keep a whole-disk read from
        // filling the page cache.
        ::posix_fadvise(fd_, 0, 0, POSIX_FADV_NOREUSE);
        ::posix_fadvise(fd_, 0, 0, POSIX_FADV_DONTNEED);
    }
}

FileBlockReader::~FileBlockReader() {
    if (ownsDescriptor_ && fd_ >= 0) ::close(fd_);
}

std::optional<std::uint64_t> FileBlockReader::measuredSize(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::nullopt;
    if (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode)) {
        std::uint64_t bytes = 0;
        if (::ioctl(fd, BLKGETSIZE64, &bytes) != 0 || bytes == 0) return std::nullopt;
        return bytes;
    }
    if (S_ISREG(st.st_mode) && st.st_size >= 1) return static_cast<std::uint64_t>(st.st_size);
    return std::nullopt;
}

std::optional<std::int64_t> FileBlockReader::deviceBlockSize(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode)) return std::nullopt;
    int sectorSize = 0;
    if (::ioctl(fd, BLKSSZGET, &sectorSize) != 0 || sectorSize <= 0) return std::nullopt;
    return sectorSize;
}

Bytes FileBlockReader::read(std::uint64_t offset, std::int64_t count) const {
    if (offset >= size_ || count < 1) return {};
    Bytes buffer(std::min<std::uint64_t>(size_ - offset, static_cast<std::uint64_t>(count)));
    buffer.resize(readInto(offset, buffer));
    return buffer;
}

std::uint64_t FileBlockReader::readInto(std::uint64_t offset, std::span<std::uint8_t> into) const {
    if (offset >= size_ || into.empty()) return 0;
    const std::uint64_t n = std::min<std::uint64_t>(size_ - offset, into.size());
    if (!align_) return readExact(offset, into.data(), n);
    const auto block = static_cast<std::uint64_t>(blockSize_);
    const std::uint64_t start = offset / block * block;
    std::uint64_t stop = (offset + n + block - 1) / block * block;
    stop = std::min(stop, size_);
    if (start == offset && stop == offset + n) return readExact(offset, into.data(), n);
    // Only the unaligned edges need a buffer of their own.
    Bytes buffer(stop - start);
    const std::uint64_t got = readExact(start, buffer.data(), buffer.size());
    const std::uint64_t skip = offset - start;
    if (skip >= got) return 0;
    const std::uint64_t last = std::min<std::uint64_t>(skip + n, got);
    std::copy(buffer.begin() + static_cast<std::ptrdiff_t>(skip),
              buffer.begin() + static_cast<std::ptrdiff_t>(last), into.begin());
    return last - skip;
}

std::uint64_t FileBlockReader::readExact(std::uint64_t offset, std::uint8_t* into,
                                         std::uint64_t count) const {
    std::uint64_t done = 0;
    int error = 0;
    while (done < count) {
        const ssize_t got =
            ::pread(fd_, into + done, count - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            error = errno;
            break;
        }
        if (got == 0) break;
        done += static_cast<std::uint64_t>(got);
    }
    if (error != 0) {
        if (meansGone(error) || (error == EIO && deviceVanished()))
            throw RecoverError::deviceGone();
        throw RecoverError::readFailed("Read failed at byte " + std::to_string(offset) + ". " +
                                       std::strerror(error));
    }
    // A block device that ends early has usually been pulled out.
    if (done < count && offset + done < size_ && deviceVanished()) throw RecoverError::deviceGone();
    return done;
}

bool FileBlockReader::deviceVanished() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return true;
    if (!S_ISBLK(st.st_mode)) return false;
    const std::string sys = "/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" +
                            std::to_string(minor(st.st_rdev));
    if (::access(sys.c_str(), F_OK) != 0) return true;
    std::uint64_t bytes = 0;
    return ::ioctl(fd_, BLKGETSIZE64, &bytes) != 0 || bytes == 0;
}

} // namespace vellary
