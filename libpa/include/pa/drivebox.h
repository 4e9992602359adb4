#pragma once
// A drop-down list of the machine's drives with the kind of each.
//
// Linux has no drive letters: the "drives" are the mount points a user
// recognises as places for files: the root file system, anything under
// /home, /media, /run/media and /mnt, and network file systems wherever they
// are mounted. System mounts (/proc, /sys, /dev, /run, /boot, ...) are left
// out. Each item is the mount point followed by the kind's text, in the
// byte order of the paths.

#include <QComboBox>

#include <string>
#include <vector>

namespace pa {

enum class TDriveType { Unknown, Removable, Fixed, Remote, CdRom, RamDisk };

struct TDriveEntry {
    std::string root;
    TDriveType type = TDriveType::Unknown;
};

// Where the mounts and the block devices' attributes are read.
struct TDriveSource {
    std::string mountTable = "/proc/self/mounts";
    std::string sysBlock = "/sys/class/block";
};

// ": (fixed disk)" and the like.
const char* driveTypeText(TDriveType type);
// The drives of a mount table (the format of /proc/self/mounts).
std::vector<TDriveEntry> listDrives(const TDriveSource& source = {});

class TDriveBox : public QComboBox {
    Q_OBJECT

public:
    explicit TDriveBox(QWidget* parent = nullptr, TDriveSource source = {});

protected:
    // The drives are listed when the box's window comes into being, i.e. when
    // it is first shown.
    void showEvent(QShowEvent* event) override;
    virtual void CreateWnd();

private:
    TDriveSource source_;
    bool created_ = false;
};

// Puts TDriveBox on the palette page "LibPa".
void registerDriveBox();

} // namespace pa
