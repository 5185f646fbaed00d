#include "core/restore/RescueMap.hpp"

#include "core/records/RecoverError.hpp"
#include "core/restore/UniqueFd.hpp"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace vellary {
namespace {

// Maps of real disks hold thousands of lines at most; anything far bigger is not one.
constexpr std::uintmax_t kMaxMapBytes = 64ULL * 1024 * 1024;

bool validStatus(char c) {
    return c == '?' || c == '*' || c == '/' || c == '-' || c == '+';
}

bool validPhase(char c) {
    return validStatus(c) || c == 'F' || c == 'G';
}

std::optional<std::uint64_t> number(const std::string& word) {
    if (word.empty() || word[0] == '-' || word[0] == '+') return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(word.c_str(), &end, 0);
    if (errno != 0 || end != word.c_str() + word.size()) return std::nullopt;
    return value;
}

std::string hex(std::uint64_t value, int width) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%0*" PRIX64, width, value);
    return text;
}

std::string now() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

} // namespace

RescueMap::RescueMap(std::uint64_t size) : size_(size) {
    if (size > 0) blocks_.emplace(0, std::make_pair(size, Status::nonTried));
}

void RescueMap::split(std::uint64_t at) {
    if (at == 0 || at >= size_) return;
    auto it = blocks_.upper_bound(at);
    --it;
    if (it->first == at) return;
    const std::uint64_t start = it->first;
    const auto [length, status] = it->second;
    it->second.first = at - start;
    blocks_.emplace(at, std::make_pair(start + length - at, status));
}

void RescueMap::join(std::uint64_t at) {
    auto it = blocks_.find(at);
    if (it == blocks_.end() || it == blocks_.begin()) return;
    auto before = std::prev(it);
    if (before->second.second != it->second.second) return;
    before->second.first += it->second.first;
    blocks_.erase(it);
}

void RescueMap::set(std::uint64_t pos, std::uint64_t size, Status status) {
    if (pos >= size_ || size == 0) return;
    const std::uint64_t end = size > size_ - pos ? size_ : pos + size;
    split(pos);
    split(end);
    blocks_.erase(blocks_.lower_bound(pos), blocks_.lower_bound(end));
    blocks_.emplace(pos, std::make_pair(end - pos, status));
    join(end);
    join(pos);
}

void RescueMap::resize(std::uint64_t size) {
    if (size > size_) {
        const std::uint64_t old = size_;
        blocks_.emplace(old, std::make_pair(size - old, Status::nonTried));
        size_ = size;
        join(old);
        return;
    }
    if (size == size_) return;
    split(size);
    blocks_.erase(blocks_.lower_bound(size), blocks_.end());
    size_ = size;
}

std::vector<RescueMap::Block> RescueMap::blocks() const {
    std::vector<Block> result;
    for (const auto& [pos, block] : blocks_)
        result.push_back({pos, block.first, block.second});
    return result;
}

std::vector<RescueMap::Block> RescueMap::blocksWith(Status status) const {
    std::vector<Block> result;
    for (const auto& [pos, block] : blocks_)
        if (block.second == status) result.push_back({pos, block.first, block.second});
    return result;
}

std::uint64_t RescueMap::bytesWith(Status status) const {
    std::uint64_t sum = 0;
    for (const auto& [pos, block] : blocks_)
        if (block.second == status) sum += block.first;
    return sum;
}

std::vector<ByteRange> RescueMap::unreadable() const {
    std::vector<ByteRange> result;
    for (const auto& [pos, block] : blocks_) {
        if (block.second == Status::finished) continue;
        if (!result.empty() && result.back().end() == pos)
            result.back().length += block.first;
        else
            result.push_back({pos, block.first});
    }
    return result;
}

std::uint64_t RescueMap::unreadableIn(const RecoverableFile& file) const {
    const auto holes = unreadable();
    std::uint64_t sum = 0;
    for (const auto& range : file.ranges) {
        const std::uint64_t end =
            range.length > UINT64_MAX - range.offset ? UINT64_MAX : range.offset + range.length;
        // The first hole that ends after the range starts.
        auto it = std::upper_bound(
            holes.begin(), holes.end(), range.offset,
            [](std::uint64_t at, const ByteRange& hole) { return at < hole.end(); });
        for (; it != holes.end() && it->offset < end; ++it)
            sum += std::min(end, it->end()) - std::max(range.offset, it->offset);
    }
    return sum;
}

std::string RescueMap::text(const std::string& commandLine) const {
    std::string out = "# Mapfile. Created by vellary-cli\n";
    if (!commandLine.empty()) out += "# Command line: " + commandLine + "\n";
    out += "# Current time: " + now() + "\n";
    out += "# current_pos  current_status  current_pass\n";
    out += hex(currentPos, 8) + "     " + static_cast<char>(phase) + "               " +
           std::to_string(std::max(pass, 1)) + "\n";
    out += "#      pos        size  status\n";
    for (const auto& [pos, block] : blocks_)
        out += hex(pos, 8) + "  " + hex(block.first, 8) + "  " + static_cast<char>(block.second) +
               "\n";
    return out;
}

std::optional<RescueMap> RescueMap::parse(std::string_view text) {
    std::istringstream lines{std::string(text)};
    std::string line;
    bool headed = false;
    RescueMap map;
    while (std::getline(lines, line)) {
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') continue;
        std::istringstream words(line);
        std::vector<std::string> parts;
        for (std::string word; words >> word;)
            parts.push_back(word);
        if (!headed) {
            // current_pos current_status [current_pass]
            if (parts.size() < 2 || parts.size() > 3 || parts[1].size() != 1 ||
                !validPhase(parts[1][0]))
                return std::nullopt;
            const auto pos = number(parts[0]);
            if (!pos) return std::nullopt;
            map.currentPos = *pos;
            const char phase = parts[1][0];
            map.phase = phase == 'F' || phase == 'G' ? Phase::finished : static_cast<Phase>(phase);
            if (parts.size() == 3) {
                const auto pass = number(parts[2]);
                if (!pass || *pass < 1 || *pass > 1000000) return std::nullopt;
                map.pass = static_cast<int>(*pass);
            }
            headed = true;
            continue;
        }
        if (parts.size() != 3 || parts[2].size() != 1 || !validStatus(parts[2][0]))
            return std::nullopt;
        const auto pos = number(parts[0]);
        const auto size = number(parts[1]);
        if (!pos || !size || *size == 0 || *pos != map.size_ || *size > UINT64_MAX - *pos)
            return std::nullopt;
        const auto status = static_cast<Status>(parts[2][0]);
        map.blocks_.emplace(*pos, std::make_pair(*size, status));
        map.size_ = *pos + *size;
        map.join(*pos);
    }
    if (!headed) return std::nullopt;
    return map;
}

std::optional<RescueMap> RescueMap::load(const std::filesystem::path& path) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
    const auto bytes = std::filesystem::file_size(path, error);
    if (error || bytes > kMaxMapBytes) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return parse(text.str());
}

void RescueMap::save(const std::filesystem::path& path, bool replace,
                     const std::string& commandLine) const {
    const std::string name = path.filename().string();
    const auto fail = [&](int error) {
        return RecoverError::message("Couldn't save " + name + ". " + std::strerror(error));
    };
    std::string temporary = path.string() + ".XXXXXX";
    const int raw = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (raw < 0) throw fail(errno);
    UniqueFd fd(raw);
    const std::string body = text(commandLine);
    std::size_t done = 0;
    int error = ::fchmod(fd.get(), 0644) == 0 ? 0 : errno;
    while (error == 0 && done < body.size()) {
        const ssize_t wrote = ::write(fd.get(), body.data() + done, body.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) {
            error = wrote < 0 ? errno : EIO;
            break;
        }
        done += static_cast<std::size_t>(wrote);
    }
    if (error == 0 && ::fsync(fd.get()) != 0) error = errno;
    if (error == 0) error = fd.close();
    if (error == 0) {
        const int renamed = replace ? ::rename(temporary.c_str(), path.c_str())
                                    : ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD,
                                                  path.c_str(), RENAME_NOREPLACE);
        if (renamed != 0) error = errno;
    }
    if (error != 0) {
        ::unlink(temporary.c_str());
        throw fail(error);
    }
}

} // namespace vellary
