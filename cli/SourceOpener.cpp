#include "cli/SourceOpener.hpp"

#include "core/io/FileBlockReader.hpp"
#include "core/records/RecoverError.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace vellary::cli {

std::shared_ptr<BlockReader> openSource(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        throw RecoverError::readFailed("Couldn't open " + path + ". " + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) throw RecoverError::readFailed(path + " is a folder, not a disk.");
    if (!S_ISBLK(st.st_mode)) return std::make_shared<FileBlockReader>(path);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw RecoverError::readFailed("Couldn't open " + path + ". " + std::strerror(errno));
    const auto block = FileBlockReader::deviceBlockSize(fd).value_or(512);
    return std::make_shared<FileBlockReader>(fd, block, true, std::nullopt, true);
}

} // namespace vellary::cli
