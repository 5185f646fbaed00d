#include "core/restore/OutputFile.hpp"

#include "core/records/RecoverError.hpp"
#include "tests/support/RestoreFixtures.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>

namespace vellary {
namespace {

using testing::patterned;

// Plays back a script of write results: a positive number writes that many bytes.
struct ScriptedWrites {
    std::vector<ssize_t> script;
    std::vector<int> errors;
    Bytes written;
    std::size_t step = 0;

    ssize_t operator()(const std::uint8_t* data, std::size_t size) {
        if (step >= script.size()) {
            written.insert(written.end(), data, data + size);
            return static_cast<ssize_t>(size);
        }
        const ssize_t result = script[step];
        errno = errors[step];
        ++step;
        if (result > 0) {
            const auto n = std::min(static_cast<std::size_t>(result), size);
            written.insert(written.end(), data, data + n);
            return static_cast<ssize_t>(n);
        }
        return result;
    }
};

TEST(OutputFileWrites, ShortWritesAndInterruptionsAreContinued) {
    const Bytes bytes = patterned(1000);
    ScriptedWrites writes{{100, -1, 1, -1, 250}, {0, EINTR, 0, EINTR, 0}, {}, 0};
    EXPECT_EQ(OutputFile::writeFully(std::ref(writes), bytes), 0);
    EXPECT_EQ(writes.written, bytes);
}

TEST(OutputFileWrites, AWriteOfNothingOrAnErrorStopsWithAnError) {
    const Bytes bytes = patterned(1000);
    ScriptedWrites stalls{{300, 0}, {0, 0}, {}, 0};
    EXPECT_EQ(OutputFile::writeFully(std::ref(stalls), bytes), EIO);
    EXPECT_EQ(stalls.written.size(), 300u);
    ScriptedWrites full{{-1}, {ENOSPC}, {}, 0};
    EXPECT_EQ(OutputFile::writeFully(std::ref(full), bytes), ENOSPC);
    ScriptedWrites none{{}, {}, {}, 0};
    EXPECT_EQ(OutputFile::writeFully(std::ref(none), {}), 0);
}

TEST(OutputFileCreate, IsExclusiveAndNamesTheFileInItsErrors) {
    testing::TempDir dir;
    const int folder = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folder, 0);
    {
        auto out = OutputFile::create(folder, "new.bin");
        out.write(patterned(10));
        out.finish();
    }
    EXPECT_EQ(testing::readBytes(dir / "new.bin"), patterned(10));
    try {
        OutputFile::create(folder, "new.bin");
        FAIL() << "expected a refusal";
    } catch (const RecoverError& error) {
        EXPECT_EQ(error.errorDescription(), "Couldn't create new.bin. File exists");
    }
    EXPECT_FALSE(OutputFile::createIfFree(folder, "new.bin"));
    EXPECT_THROW(OutputFile::createIfFree(folder, "missing/x.bin"), RecoverError);
    EXPECT_EQ(testing::readBytes(dir / "new.bin"), patterned(10));
    ::close(folder);
}

} // namespace
} // namespace vellary
