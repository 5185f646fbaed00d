#include "core/records/RecoverError.hpp"

#include "core/records/ByteText.hpp"

namespace vellary {

RecoverError::RecoverError(Case c, std::string text, std::uint64_t needed, std::uint64_t available)
    : case_(c), text_(std::move(text)), needed_(needed), available_(available) {
    description_ = errorDescription();
}

RecoverError RecoverError::notEnoughSpace(std::uint64_t needed, std::uint64_t available) {
    return {Case::notEnoughSpace, {}, needed, available};
}

std::string RecoverError::errorDescription() const {
    switch (case_) {
    case Case::readFailed:
    case Case::unsafeDevice:
    case Case::message:
        return text_;
    case Case::notEnoughSpace:
        return "That folder doesn't have enough free space. Recovery needs about " +
               ByteText::string(needed_) + " and " + ByteText::string(available_) + " is free.";
    case Case::destinationOnSource:
        return "Choose a folder on another disk. Saving onto the disk you're recovering from could "
               "overwrite the files you want back.";
    case Case::accessDenied:
        return "The system didn't allow the disk to be read.";
    case Case::deviceGone:
        return "The disk was disconnected. Plug it back in and scan again.";
    case Case::cancelled:
        return "Stopped.";
    }
    return text_;
}

} // namespace vellary
