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
using testing::slice;

// Plays back a script of (result, errno) pairs; a positive result writes that many bytes, and
// once the script runs out every write succeeds in full.
struct ScriptedWrites {
    std::vector<std::pair<ssize_t, int>> script;
    Bytes written;
    std::size_t step = 0;

    ssize_t operator()(const std::uint8_t* data, std::size_t size) {
        auto [result, error] =
            step < script.size() ? script[step++] : std::pair<ssize_t, int>(size, 0);
        errno = error;
        if (result > 0) result = std::min<ssize_t>(result, static_cast<ssize_t>(size));
        if (result > 0) written.insert(written.end(), data, data + result);
        return result;
    }
};

TEST(OutputFile, WriteFullyContinuesShortAndInterruptedWritesAndStopsOnNothingOrAnError) {
    const Bytes bytes = patterned(1000);
    const std::vector<std::pair<std::vector<std::pair<ssize_t, int>>, int>> cases = {
        {{{100, 0}, {-1, EINTR}, {1, 0}, {-1, EINTR}, {250, 0}}, 0},
        {{{300, 0}, {0, 0}}, EIO},
        {{{-1, ENOSPC}}, ENOSPC},
    };
    for (const auto& [script, error] : cases) {
        ScriptedWrites writes{script, {}, 0};
        EXPECT_EQ(OutputFile::writeFully(std::ref(writes), bytes), error);
        // What was written is always a prefix, and the whole only without an error.
        EXPECT_EQ(writes.written, slice(bytes, 0, error == 0 ? 1000 : writes.written.size()));
        EXPECT_EQ(writes.step, script.size());
    }
    ScriptedWrites none{{{-1, EIO}}, {}, 0};
    EXPECT_EQ(OutputFile::writeFully(std::ref(none), {}), 0);
}

TEST(OutputFile, CreateIsExclusiveAndNamesTheFileInItsErrors) {
    testing::TempDir dir;
    const int folder = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folder, 0);
    {
        auto out = OutputFile::create(folder, "new.bin");
        out.write(patterned(10));
        out.finish();
    }
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
