#include "core/devices/DeviceCatalog.hpp"

#include "core/devices/CameraFolders.hpp"
#include "core/devices/DeviceGuard.hpp"
#include "core/records/RecoverError.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unicode/coll.h>
#include <unicode/unistr.h>

namespace fs = std::filesystem;
using nlohmann::json;

namespace vellary {
namespace {

constexpr const char* kInUse =
    "The disk is in use. Quit any app that's showing files from it, then try again.";
// lsblk marks an active swap area with this instead of a path.
constexpr const char* kSwapMark = "[SWAP]";
constexpr int kMaxSysfsDepth = 16;
// Plain substring tests on the media name, so "sd" also matches inside longer words.
constexpr const char* kCardWords[] = {"sd",      "card",      "reader",       "sdxc", "sdhc",
                                      "microsd", "cfexpress", "compactflash", "xqd",  "multi-card"};

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string trim(std::string_view text) {
    const auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return std::string(text);
}

bool contains(const std::string& text, std::string_view part) {
    return text.find(part) != std::string::npos;
}

// Older lsblk writes "0"/"1" and numbers as strings; newer ones write JSON booleans and numbers.
std::optional<bool> boolean(const json& node, const char* key) {
    const auto it = node.find(key);
    if (it == node.end()) return std::nullopt;
    if (it->is_boolean()) return it->get<bool>();
    if (it->is_number()) return it->get<double>() != 0;
    if (it->is_string()) {
        const auto& s = it->get_ref<const std::string&>();
        if (s == "1" || s == "true") return true;
        if (s == "0" || s == "false") return false;
    }
    return std::nullopt;
}

// Negative or unparsable numbers count as absent.
std::optional<std::uint64_t> unsignedNumber(const json& node, const char* key) {
    const auto it = node.find(key);
    if (it == node.end()) return std::nullopt;
    if (it->is_number_unsigned()) return it->get<std::uint64_t>();
    if (it->is_number_integer()) {
        const auto v = it->get<std::int64_t>();
        return v < 0 ? std::nullopt : std::optional<std::uint64_t>(static_cast<std::uint64_t>(v));
    }
    if (it->is_number_float()) {
        const auto v = it->get<double>();
        return v < 0 || v >= 18446744073709551616.0 ? std::nullopt
                                                    : std::optional(static_cast<std::uint64_t>(v));
    }
    if (it->is_string()) {
        const auto& s = it->get_ref<const std::string&>();
        if (s.empty() || s.size() > 19 || !std::all_of(s.begin(), s.end(), ::isdigit))
            return std::nullopt;
        return std::stoull(s);
    }
    return std::nullopt;
}

std::string text(const json& node, const char* key) {
    const auto it = node.find(key);
    return it != node.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::vector<std::string> mountPointsOf(const json& node) {
    std::vector<std::string> out;
    for (const char* key : {"mountpoints", "mountpoint"}) {
        const auto it = node.find(key);
        if (it == node.end()) continue;
        if (it->is_string()) out.push_back(it->get<std::string>());
        if (it->is_array())
            for (const auto& m : *it)
                if (m.is_string()) out.push_back(m.get<std::string>());
        break;
    }
    return out;
}

std::vector<std::string> pathMounts(const json& node) {
    auto all = mountPointsOf(node);
    std::erase_if(all, [](const std::string& m) { return m.empty() || m.front() != '/'; });
    return all;
}

const json& children(const json& node) {
    static const json none = json::array();
    const auto it = node.find("children");
    return it != node.end() && it->is_array() ? *it : none;
}

std::string kernelName(const json& node) {
    auto name = text(node, "kname");
    return name.empty() ? text(node, "name") : name;
}

// Whether this node or anything stacked on it (partitions, dm-crypt, LVM) backs the system.
bool backsSystem(const json& node, const std::vector<fs::path>& systemFolders, int depth = 0) {
    if (depth > kMaxSysfsDepth) return true;
    for (const auto& m : mountPointsOf(node)) {
        if (m == kSwapMark) return true;
        for (const auto& folder : systemFolders)
            if (m == folder.string()) return true;
    }
    for (const auto& child : children(node))
        if (child.is_object() && backsSystem(child, systemFolders, depth + 1)) return true;
    return false;
}

std::string busOf(const json& disk) {
    const auto name = kernelName(disk);
    const auto tran = lower(text(disk, "tran"));
    if (text(disk, "type") == "loop") return "disk image";
    if (tran == "mmc" || name.rfind("mmcblk", 0) == 0) return "secure digital";
    if (tran == "nvme") return "pci";
    return tran;
}

// sdRoot: the sysfs folder under which block/<name>/device/type tells an SD card ("SD") from
// soldered eMMC ("MMC"); SD slots often report neither removable nor hotplug.
DeviceFacts factsOf(const json& disk, const std::set<std::string>& startup,
                    const fs::path& sysRoot) {
    const auto type = text(disk, "type");
    std::ifstream cardType(sysRoot / "block" / kernelName(disk) / "device" / "type");
    std::string mmcType;
    cardType >> mmcType;
    const bool hotplug = boolean(disk, "hotplug").value_or(false) ||
                         (busOf(disk) == "secure digital" && mmcType == "SD");
    const bool removable = boolean(disk, "rm").value_or(false);
    DeviceFacts facts;
    facts.identifier = kernelName(disk);
    facts.wholeDisk = type == "disk" || type == "loop";
    facts.virtualDisk = type == "loop";
    facts.removableOrExternal = removable || hotplug;
    facts.bus = busOf(disk);
    // An attached image is no computer's own disk; the guard judges it by its bus alone.
    facts.internalDisk =
        !facts.virtualDisk && !removable && !hotplug && lower(text(disk, "tran")) != "usb";
    facts.startup = startup.count(facts.identifier) != 0;
    return facts;
}

std::string identityOf(const json& disk, const std::string& media, std::uint64_t size) {
    auto serial = trim(text(disk, "serial"));
    if (serial.empty()) serial = trim(text(disk, "wwn"));
    auto table = text(disk, "ptuuid");
    if (table.empty()) {
        for (const auto& part : children(disk)) {
            if (!part.is_object()) continue;
            const auto uuid = text(part, "uuid");
            if (!uuid.empty()) table += (table.empty() ? "" : ",") + uuid;
        }
        if (table.empty()) table = text(disk, "uuid");
    }
    return media + "|" + serial + "|" + std::to_string(size) + "|" + table;
}

std::optional<std::string> filesystemOf(const json& node) {
    return DeviceCatalog::friendlyFilesystem(text(node, "fstype") + " " + text(node, "fsver"));
}

Device deviceOf(const json& disk) {
    Device d;
    d.id = kernelName(disk);
    std::vector<std::string> volumeNames;
    std::vector<std::string> names;
    const auto& kids = children(disk);
    for (const auto& part : kids) {
        if (!part.is_object() || text(part, "type") != "part") continue;
        const auto id = kernelName(part);
        if (id.empty()) continue;
        d.partitionIDs.push_back(id);
        const auto mounts = pathMounts(part);
        d.mountPoints.insert(d.mountPoints.end(), mounts.begin(), mounts.end());
        if (!mounts.empty()) d.mountedPartitions.push_back(id);
        const auto label = text(part, "label");
        if (!label.empty() && label != "Untitled" && label != "NO NAME")
            volumeNames.push_back(label);
        if (const auto fsName = filesystemOf(part)) names.push_back(*fsName);
    }
    if (d.partitionIDs.empty()) {
        if (const auto fsName = filesystemOf(disk)) names.push_back(*fsName);
        d.mountPoints = pathMounts(disk);
        if (!d.mountPoints.empty()) d.mountedPartitions.push_back(d.id);
        const auto label = text(disk, "label");
        if (!label.empty()) volumeNames.push_back(label);
    }

    // lsblk pads the vendor with blanks.
    d.media = trim(trim(text(disk, "vendor")) + " " + trim(text(disk, "model")));
    const auto bus = busOf(disk);
    const auto match = CameraFolders::identify(d.mountPoints);
    const auto media = lower(d.media);
    const bool cardMedia = std::any_of(std::begin(kCardWords), std::end(kCardWords),
                                       [&](const char* word) { return contains(media, word); });
    if (text(disk, "type") == "loop") {
        d.kind = Device::Kind::diskImage;
    } else if (contains(bus, "secure digital") || match || cardMedia) {
        d.kind = Device::Kind::memoryCard;
    } else {
        d.kind = boolean(disk, "rm").value_or(false) ? Device::Kind::usbDrive
                                                     : Device::Kind::externalDrive;
    }

    d.size = unsignedNumber(disk, "size").value_or(0);
    d.blockSize = static_cast<std::int64_t>(
        std::max<std::uint64_t>(unsignedNumber(disk, "log-sec").value_or(512), 512));
    d.blockSize = std::min<std::int64_t>(d.blockSize, 1 << 16);

    const std::string generic =
        d.kind == Device::Kind::memoryCard ? "Memory card" : "External drive";
    if (match && match->brand) {
        d.name = *match->brand + (match->model ? " " + *match->model : std::string(" card"));
    } else if (!volumeNames.empty()) {
        d.name = volumeNames.front();
    } else if (!d.media.empty()) {
        d.name = contains(media, "media") ? generic : d.media;
    } else {
        d.name = generic;
    }
    for (const auto& n : names)
        if (std::find(d.filesystems.begin(), d.filesystems.end(), n) == d.filesystems.end())
            d.filesystems.push_back(n);
    if (match) d.camera = match->brand;
    // lsblk says whether the disk spins; anything that does not is solid state.
    d.solidState = !boolean(disk, "rota").value_or(true);
    d.identity = identityOf(disk, d.media, d.size);
    return d;
}

// Locale-aware, case-insensitive and stable, so names differing only in case keep lsblk's order.
void sortByName(std::vector<Device>& devices) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(status));
    if (U_FAILURE(status) || !collator) {
        std::stable_sort(devices.begin(), devices.end(), [](const Device& a, const Device& b) {
            return lower(a.name) < lower(b.name);
        });
        return;
    }
    collator->setStrength(icu::Collator::SECONDARY);
    std::stable_sort(devices.begin(), devices.end(), [&](const Device& a, const Device& b) {
        UErrorCode s = U_ZERO_ERROR;
        return collator->compareUTF8(a.name, b.name, s) == UCOL_LESS;
    });
}

json parseListing(const std::string& output) {
    auto doc = json::parse(output, nullptr, false);
    if (doc.is_discarded()) throw RecoverError::message("The disk list couldn't be read.");
    return doc;
}

const json& blockDevices(const json& doc) {
    static const json none = json::array();
    if (!doc.is_object()) return none;
    const auto it = doc.find("blockdevices");
    return it != doc.end() && it->is_array() ? *it : none;
}

struct MountEntry {
    std::uint64_t device = 0;
    std::string source;
    std::string mountPoint;
};

bool isOctal(char c) {
    return c >= '0' && c <= '7';
}

// mountinfo escapes blanks, tabs, newlines and backslashes as three octal digits.
std::string unescape(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && isOctal(field[i + 1]) &&
            isOctal(field[i + 2]) && isOctal(field[i + 3])) {
            out.push_back(static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8)));
            i += 3;
        } else {
            out.push_back(field[i]);
        }
    }
    return out;
}

std::vector<MountEntry> readMountInfo(const fs::path& file) {
    std::vector<MountEntry> entries;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, majMin, root, mountPoint, word;
        if (!(fields >> id >> parent >> majMin >> root >> mountPoint)) continue;
        while (fields >> word && word != "-") {
        }
        std::string type, source;
        fields >> type >> source;
        MountEntry e;
        unsigned major = 0, minor = 0;
        if (std::sscanf(majMin.c_str(), "%u:%u", &major, &minor) == 2)
            e.device = makedev(major, minor);
        e.source = unescape(source);
        e.mountPoint = unescape(mountPoint);
        entries.push_back(std::move(e));
    }
    return entries;
}

} // namespace

DeviceCatalog::DeviceCatalog(std::shared_ptr<ProcessRunner> runner)
    : DeviceCatalog(std::move(runner), Paths()) {}

DeviceCatalog::DeviceCatalog(std::shared_ptr<ProcessRunner> runner, Paths paths)
    : runner_(std::move(runner)), paths_(std::move(paths)) {}

std::vector<std::string> DeviceCatalog::listArguments() {
    return {"lsblk", "--json", "--bytes", "--output",
            "NAME,KNAME,PATH,TYPE,PKNAME,RM,HOTPLUG,TRAN,MODEL,VENDOR,SIZE,LOG-SEC,ROTA,FSTYPE,"
            "FSVER,LABEL,MOUNTPOINTS,RO,SERIAL,WWN,PTUUID,UUID"};
}

std::string DeviceCatalog::listing() const {
    const auto outcome = runner_->run(listArguments());
    if (!outcome.started) throw RecoverError::message("The disk list couldn't be read.");
    if (outcome.status != 0)
        throw RecoverError::message("The disk list couldn't describe the disks.");
    return outcome.output;
}

std::optional<std::string> DeviceCatalog::friendlyFilesystem(std::string_view text) {
    const auto t = lower(trim(text));
    if (t.empty()) return std::nullopt;
    if (contains(t, "exfat")) return "ExFAT";
    if (contains(t, "fat32")) return "FAT32";
    if (contains(t, "fat16")) return "FAT16";
    if (contains(t, "fat12")) return "FAT12";
    if (contains(t, "ntfs")) return "NTFS";
    if (contains(t, "apfs")) return "APFS";
    if (contains(t, "mac os extended") || contains(t, "hfs")) return "Mac OS Extended";
    return std::nullopt;
}

std::set<std::string> DeviceCatalog::allowedDiskImages() {
    std::set<std::string> allowed;
    const char* value = std::getenv("RECOVER_ALLOW_DISK_IMAGES");
    if (!value) return allowed;
    std::string_view rest(value);
    while (!rest.empty()) {
        const auto comma = rest.find(',');
        const auto piece = trim(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (piece.empty()) continue;
        if (piece == "1" || piece == "all") {
            allowed.insert("*");
        } else {
            allowed.insert(DeviceGuard::diskIdentifier(piece).value_or(piece));
        }
    }
    return allowed;
}

std::set<std::string> DeviceCatalog::wholeDisksOfSysfs(const fs::path& dir, int depth) const {
    std::error_code error;
    if (depth > kMaxSysfsDepth || !fs::is_directory(dir, error)) return {};
    if (fs::exists(dir / "partition", error)) return {dir.parent_path().filename().string()};
    std::set<std::string> disks;
    for (fs::directory_iterator it(dir / "slaves", error), end; !error && it != end;
         it.increment(error)) {
        const auto slave = fs::canonical(it->path(), error);
        if (error) continue;
        disks.merge(wholeDisksOfSysfs(slave, depth + 1));
    }
    if (disks.empty()) disks.insert(dir.filename().string());
    return disks;
}

std::set<std::string> DeviceCatalog::wholeDisksOf(std::uint64_t deviceNumber) const {
    const auto link =
        paths_.sysRoot / "dev" / "block" /
        (std::to_string(major(deviceNumber)) + ":" + std::to_string(minor(deviceNumber)));
    std::error_code error;
    const auto dir = fs::canonical(link, error);
    if (error) return {};
    return wholeDisksOfSysfs(dir, 0);
}

std::set<std::string> DeviceCatalog::startupDisks(const nlohmann::json& disks) const {
    std::set<std::string> startup;
    for (const auto& disk : disks)
        if (disk.is_object() && backsSystem(disk, paths_.systemFolders))
            startup.insert(kernelName(disk));
    // lsblk can miss what backs the system (btrfs subvolumes, overlays); the kernel cannot.
    for (const auto& folder : paths_.systemFolders) {
        struct stat st {};
        if (::stat(folder.c_str(), &st) == 0) startup.merge(wholeDisksOf(st.st_dev));
    }
    std::ifstream swaps(paths_.swaps);
    std::string line;
    while (std::getline(swaps, line)) {
        const auto file = line.substr(0, line.find_first_of(" \t"));
        struct stat st {};
        if (!file.empty() && file.front() == '/' && ::stat(file.c_str(), &st) == 0)
            startup.merge(wholeDisksOf(S_ISBLK(st.st_mode) ? st.st_rdev : st.st_dev));
    }
    return startup;
}

std::vector<Device> DeviceCatalog::devices() const {
    const auto doc = parseListing(listing());
    const auto& disks = blockDevices(doc);

    const auto startup = startupDisks(disks);
    const auto allowed = allowedDiskImages();
    std::vector<Device> out;
    for (const auto& disk : disks) {
        if (!disk.is_object()) continue;
        const auto facts = factsOf(disk, startup, paths_.sysRoot);
        const bool allowImage = allowed.count("*") || allowed.count(facts.identifier);
        if (!DeviceGuard::isRecoverable(facts, allowImage)) continue;
        out.push_back(deviceOf(disk));
    }
    sortByName(out);
    return out;
}

Device DeviceCatalog::listed(std::string_view node) const {
    const auto id = DeviceGuard::diskIdentifier(node);
    if (!id || std::string_view(node).substr(0, 5) != "/dev/")
        throw RecoverError::unsafeDevice(
            "Only a whole removable or external disk can be scanned, not " + std::string(node) +
            ".");
    const auto doc = parseListing(listing());
    const auto& disks = blockDevices(doc);
    const auto startup = startupDisks(disks);
    const auto allowed = allowedDiskImages();
    for (const auto& disk : disks) {
        if (!disk.is_object() || kernelName(disk) != *id) continue;
        const auto reason = DeviceGuard::refusal(factsOf(disk, startup, paths_.sysRoot),
                                                 allowed.count("*") || allowed.count(*id));
        if (reason) throw RecoverError::unsafeDevice(*reason);
        return deviceOf(disk);
    }
    throw RecoverError::unsafeDevice("No disk named " + *id + " is attached.");
}

std::vector<std::string> DeviceCatalog::mountedNodes(const std::vector<std::string>& nodes) const {
    const auto mounts = readMountInfo(paths_.mountInfo);
    std::vector<std::string> mounted;
    for (const auto& node : nodes) {
        const auto path = "/dev/" + node;
        struct stat st {};
        const bool haveNumber = ::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
        const bool isMounted = std::any_of(mounts.begin(), mounts.end(), [&](const MountEntry& m) {
            return m.source == path || (haveNumber && m.device == st.st_rdev);
        });
        if (isMounted) mounted.push_back(node);
    }
    return mounted;
}

bool DeviceCatalog::udisks(const char* verb, const std::string& node) const {
    // Never --force: udisks' forced unmount is a lazy detach that leaves the file system live.
    // polkit's desktop agent may ask the user where the system wants approval.
    return runner_->run({"udisksctl", verb, "-b", "/dev/" + node}).succeeded();
}

bool DeviceCatalog::unmount(const Device& device) const {
    auto nodes = device.partitionIDs;
    nodes.push_back(device.id);
    const auto mounted = mountedNodes(nodes);
    if (mounted.empty()) return false;
    std::vector<std::string> done;
    for (const auto& node : mounted) {
        if (udisks("unmount", node)) {
            done.push_back(node);
            continue;
        }
        // Leave the disk as it was found: nobody records a half-unmounted disk.
        for (const auto& again : done)
            udisks("mount", again);
        throw RecoverError::message(kInUse);
    }
    return true;
}

void DeviceCatalog::mount(const Device& device) const {
    auto nodes = device.mountedPartitions;
    if (nodes.empty()) {
        try {
            const auto doc = parseListing(listing());
            for (const auto& disk : blockDevices(doc)) {
                if (!disk.is_object() || kernelName(disk) != device.id) continue;
                for (const auto& part : children(disk))
                    if (part.is_object() && text(part, "type") == "part" &&
                        !text(part, "fstype").empty())
                        nodes.push_back(kernelName(part));
                if (nodes.empty() && !text(disk, "fstype").empty()) nodes.push_back(device.id);
            }
        } catch (const std::exception&) {
            return;
        }
    }
    const auto already = mountedNodes(nodes);
    for (const auto& node : nodes)
        if (std::find(already.begin(), already.end(), node) == already.end()) udisks("mount", node);
}

bool DeviceCatalog::eject(const Device& device) const {
    bool unmounted = false;
    try {
        unmounted = unmount(device);
    } catch (const RecoverError&) {
        return false;
    }
    const bool image = device.id.rfind("loop", 0) == 0;
    if (udisks(image ? "loop-delete" : "power-off", device.id)) return true;
    return unmounted;
}

bool DeviceCatalog::destination(const fs::path& folder, const Device& device) const {
    std::error_code error;
    auto path = fs::weakly_canonical(fs::absolute(folder, error), error);
    if (error) path = folder.lexically_normal();
    const auto text = path.string();
    if (text == "/dev" || text.rfind("/dev/", 0) == 0) return true;
    for (const auto& m : device.mountPoints)
        if (!m.empty() && (text == m || text.rfind(m + "/", 0) == 0 || m == "/")) return true;

    auto ancestor = path;
    while (!fs::exists(ancestor, error) && ancestor.has_parent_path() &&
           ancestor != ancestor.root_path())
        ancestor = ancestor.parent_path();
    struct stat st {};
    if (::stat(ancestor.c_str(), &st) != 0) return false;
    auto disks = wholeDisksOf(st.st_dev);
    if (disks.empty()) {
        // btrfs and friends give an anonymous device number: take the mount's source instead.
        for (const auto& m : readMountInfo(paths_.mountInfo)) {
            struct stat source {};
            if (m.device == st.st_dev && ::stat(m.source.c_str(), &source) == 0 &&
                S_ISBLK(source.st_mode))
                disks.merge(wholeDisksOf(source.st_rdev));
        }
    }
    return disks.count(device.id) != 0;
}

} // namespace vellary
