#include "pa/drivebox.h"

#include "pa/forms.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace pa {

namespace {

// Mount table fields escape blanks, tabs, newlines and backslashes as \ooo.
std::string decodeMountField(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' &&
            field[i + 1] <= '3' && field[i + 2] >= '0' && field[i + 2] <= '7' &&
            field[i + 3] >= '0' && field[i + 3] <= '7') {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                     (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

bool under(const std::string& path, const std::string& dir) {
    return path == dir || (path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
                           path[dir.size()] == '/');
}

bool isNetworkFs(const std::string& type) {
    static const std::set<std::string> kNetwork = {
        "nfs", "nfs4", "cifs",      "smb3",  "smbfs",      "ncpfs",      "afs",
        "9p",  "ceph", "glusterfs", "davfs", "fuse.sshfs", "fuse.rclone"};
    return kNetwork.count(type) != 0;
}

bool isPseudoFs(const std::string& type) {
    static const std::set<std::string> kPseudo = {
        "autofs",     "proc",    "sysfs",   "devpts",      "devtmpfs", "cgroup",    "cgroup2",
        "securityfs", "debugfs", "tracefs", "binfmt_misc", "fusectl",  "configfs",  "mqueue",
        "hugetlbfs",  "pstore",  "bpf",     "efivarfs",    "nsfs",     "rpc_pipefs"};
    return kPseudo.count(type) != 0;
}

bool userRecognises(const std::string& mountPoint, const std::string& type) {
    if (isPseudoFs(type)) {
        return false;
    }
    if (isNetworkFs(type) || mountPoint == "/") {
        return true;
    }
    for (const char* dir : {"/home", "/media", "/run/media", "/mnt"}) {
        if (under(mountPoint, dir)) {
            return true;
        }
    }
    return false;
}

std::string readFirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The block device's name in sysfs ("sda1", "dm-0"), following links such as
// /dev/disk/by-uuid/... or /dev/mapper/....
std::string blockDeviceName(const std::string& device) {
    std::string path = device;
    if (char* resolved = ::realpath(device.c_str(), nullptr)) {
        path = resolved;
        std::free(resolved);
    }
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool isRemovableDevice(const TDriveSource& source, const std::string& name) {
    // A partition has no attribute of its own; its disk is the directory
    // above it.
    std::string flag = readFirstLine(source.sysBlock + "/" + name + "/removable");
    if (flag.empty()) {
        flag = readFirstLine(source.sysBlock + "/" + name + "/../removable");
    }
    return flag == "1";
}

TDriveType driveType(const TDriveSource& source, const std::string& device,
                     const std::string& mountPoint, const std::string& type) {
    if (isNetworkFs(type)) {
        return TDriveType::Remote;
    }
    if (type == "iso9660" || type == "udf") {
        return TDriveType::CdRom;
    }
    if (type == "tmpfs" || type == "ramfs") {
        return TDriveType::RamDisk;
    }
    if (device.rfind("/dev/", 0) != 0) {
        return TDriveType::Unknown;
    }
    const std::string name = blockDeviceName(device);
    if (name.rfind("sr", 0) == 0) {
        return TDriveType::CdRom;
    }
    // Desktop mounters put removable media under /media and /run/media.
    if (under(mountPoint, "/media") || under(mountPoint, "/run/media") ||
        isRemovableDevice(source, name)) {
        return TDriveType::Removable;
    }
    return TDriveType::Fixed;
}

} // namespace

const char* driveTypeText(TDriveType type) {
    switch (type) {
    case TDriveType::Removable:
        return ": (removable disk)";
    case TDriveType::Fixed:
        return ": (fixed disk)";
    case TDriveType::Remote:
        return ": (network drive)";
    case TDriveType::CdRom:
        return ": (CD-ROM)";
    case TDriveType::RamDisk:
        return ": (ramdisk)";
    case TDriveType::Unknown:
        break;
    }
    return ": (unknown type)";
}

std::vector<TDriveEntry> listDrives(const TDriveSource& source) {
    std::ifstream in(source.mountTable);
    // Keyed by mount point: a later mount over the same point hides the
    // earlier one; the map also gives the byte order of the paths.
    std::map<std::string, TDriveEntry> drives;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string device, mountPoint, type;
        if (!(fields >> device >> mountPoint >> type)) {
            continue;
        }
        device = decodeMountField(device);
        mountPoint = decodeMountField(mountPoint);
        if (!userRecognises(mountPoint, type)) {
            drives.erase(mountPoint);
            continue;
        }
        drives[mountPoint] = TDriveEntry{mountPoint, driveType(source, device, mountPoint, type)};
    }
    std::vector<TDriveEntry> out;
    out.reserve(drives.size());
    for (auto& [root, entry] : drives) {
        out.push_back(std::move(entry));
    }
    return out;
}

TDriveBox::TDriveBox(QWidget* parent, TDriveSource source)
    : QComboBox(parent), source_(std::move(source)) {
    // A drop-down list: no free text.
    setEditable(false);
}

void TDriveBox::showEvent(QShowEvent* event) {
    if (!created_) {
        created_ = true;
        CreateWnd();
    }
    QComboBox::showEvent(event);
}

void TDriveBox::CreateWnd() {
    for (const TDriveEntry& drive : listDrives(source_)) {
        addItem(QString::fromStdString(drive.root + driveTypeText(drive.type)));
    }
}

void registerDriveBox() {
    registerComponents("LibPa", {"TDriveBox"});
}

} // namespace pa
