#include "app/access/DiskAccess.hpp"

#include "app/access/DiskAccessOpen.hpp"
#include "core/records/RecoverError.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellary {
namespace {
constexpr const char* kAppName = "Vellary";
}

DiskAccess::Failure::Failure(Case c, std::string payload)
    : case_(c), payload_(std::move(payload)), description_(errorDescription()) {}

std::string DiskAccess::Failure::errorDescription() const {
    switch (case_) {
    case Case::other:
        return payload_;
    case Case::cancelled:
        return "Reading the disk needs your password. Nothing was changed.";
    case Case::denied:
        return "The system didn't accept that password, or this account can't approve it. Ask "
               "someone with an administrator account to enter theirs.";
    case Case::privacy:
        return std::string("The system privacy settings are blocking ") + kAppName +
               " from reading the disk.";
    }
    return payload_;
}

DiskAccess::Openers DiskAccess::Openers::system() {
    return {[](const std::string& node) {
                const int fd = ::open(node.c_str(), O_RDONLY | O_CLOEXEC);
                return fd >= 0 ? fd : -errno;
            },
            disk_access_open_readonly};
}

std::string DiskAccess::prompt(const Device& device) {
    return std::string(kAppName) + " needs permission to read “" + device.name +
           "”. It only reads; nothing on the disk is changed.";
}

std::shared_ptr<FileBlockReader> DiskAccess::open(const Device& device) {
    return open(device, Openers::system());
}

std::shared_ptr<FileBlockReader> DiskAccess::open(const Device& device, const Openers& openers) {
    const auto node = device.rawNode();
    int fd = openers.plain(node);
    // EPERM is a sandbox or security module saying no: a password would not help.
    if (fd == -EPERM) throw Failure::privacy();
    if (fd < 0) {
        int code = 0;
        const auto result = openers.privileged(node.c_str(), prompt(device).c_str(), &fd, &code);
        switch (result) {
        case 0:
            break;
        case 1:
            throw Failure::cancelled();
        case 2:
            throw Failure::denied();
        case 3:
            throw Failure::privacy();
        default:
            throw Failure::other("The system couldn't open the disk (code " + std::to_string(code) +
                                 "). Unplug it, plug it back in, and try again.");
        }
    }
    // Whichever way it came, a descriptor that can write is never used.
    const auto checked = access::checkedReadOnly(fd);
    if (checked.result != 0)
        throw Failure::other("The system couldn't open the disk (code " +
                             std::to_string(checked.code) +
                             "). Unplug it, plug it back in, and try again.");
    try {
        return std::make_shared<FileBlockReader>(checked.descriptor, device.blockSize, true,
                                                 device.size, true);
    } catch (const RecoverError& error) {
        throw Failure::other(error.errorDescription());
    }
}

std::shared_ptr<FileBlockReader> DiskAccess::open(const std::filesystem::path& image) {
    if (image.string().rfind("/dev/", 0) == 0)
        throw RecoverError::unsafeDevice("Open a disk image file, not a device.");
    struct stat st {};
    if (::stat(image.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        throw RecoverError::message("That file can't be read as a disk image.");
    return std::make_shared<FileBlockReader>(image);
}

} // namespace vellary
