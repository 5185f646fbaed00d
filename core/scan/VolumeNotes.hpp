#pragma once

namespace vellary {

// What a volume's scanner could not do, for the driver to tell the user.
struct VolumeNotes {
    // A folder, or both copies of a table sector, could not be read and was passed over.
    bool unreadable = false;
    // The file limit of one volume was reached; later entries are not listed.
    bool fileLimit = false;
    // The record limit of one volume was reached; later records are not read.
    bool recordLimit = false;
};

} // namespace vellary
