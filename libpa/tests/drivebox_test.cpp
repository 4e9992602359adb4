#include "pa/drivebox.h"
#include "pa/forms.h"

#include "pa_test_support.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using pa::test::tempPath;
using pa::test::writeFile;

// A mount table and a sysfs tree of our own.
struct FakeMachine {
    pa::TDriveSource source;

    explicit FakeMachine(const std::string& mounts) {
        const std::string root = tempPath("machine");
        source.mountTable = root + "/mounts";
        source.sysBlock = root + "/block";
        std::filesystem::create_directories(source.sysBlock);
        writeFile(source.mountTable, mounts);
    }
    void disk(const std::string& name, bool removable) {
        std::filesystem::create_directories(source.sysBlock + "/" + name);
        writeFile(source.sysBlock + "/" + name + "/removable", removable ? "1\n" : "0\n");
    }
    // As in sysfs: the partition's entry leads into its disk's directory.
    void partition(const std::string& disk, const std::string& name) {
        const std::string dir = source.sysBlock + "/" + disk + "/" + name;
        std::filesystem::create_directories(dir);
        std::filesystem::create_directory_symlink(dir, source.sysBlock + "/" + name);
    }
};

std::vector<std::string> texts(const std::vector<pa::TDriveEntry>& drives) {
    std::vector<std::string> out;
    for (const auto& d : drives) {
        out.push_back(d.root + pa::driveTypeText(d.type));
    }
    return out;
}

TEST(DriveBox, FixedDiskListedBeforeCdRomInPathOrder) {
    FakeMachine m("/dev/sr0 /mnt/e iso9660 ro 0 0\n"
                  "/dev/nvme0n1p2 /mnt/c ext4 rw 0 0\n");
    m.disk("nvme0n1", false);
    m.partition("nvme0n1", "nvme0n1p2");
    EXPECT_EQ(texts(pa::listDrives(m.source)),
              (std::vector<std::string>{"/mnt/c: (fixed disk)", "/mnt/e: (CD-ROM)"}));
}

TEST(DriveBox, EveryKindAndTheLastPathListedLikeAnyOther) {
    FakeMachine m("/dev/sda1 / ext4 rw 0 0\n"
                  "proc /proc proc rw 0 0\n"
                  "sysfs /sys sysfs rw 0 0\n"
                  "tmpfs /run tmpfs rw 0 0\n"
                  "/dev/sda2 /boot ext4 rw 0 0\n"
                  "/dev/sdb1 /mnt/stick vfat rw 0 0\n"
                  "/dev/sdc1 /run/media/anna/CAMERA exfat rw 0 0\n"
                  "server:/export /srv/share nfs4 rw 0 0\n"
                  "tmpfs /mnt/ram tmpfs rw 0 0\n"
                  "overlay /home/anna/merged overlay rw 0 0\n"
                  "/dev/sda3 /home ext4 rw 0 0\n"
                  "/dev/sda4 /mnt/zz ext4 rw 0 0\n");
    m.disk("sda", false);
    m.disk("sdb", true);
    m.disk("sdc", false);
    for (const char* p : {"sda1", "sda2", "sda3", "sda4"}) {
        m.partition("sda", p);
    }
    m.partition("sdb", "sdb1");
    m.partition("sdc", "sdc1");
    EXPECT_EQ(texts(pa::listDrives(m.source)),
              (std::vector<std::string>{
                  "/: (fixed disk)", "/home: (fixed disk)", "/home/anna/merged: (unknown type)",
                  "/mnt/ram: (ramdisk)", "/mnt/stick: (removable disk)", "/mnt/zz: (fixed disk)",
                  "/run/media/anna/CAMERA: (removable disk)", "/srv/share: (network drive)"}));
}

TEST(DriveBox, EscapedBlanksAndMountsOverTheSamePoint) {
    FakeMachine m("/dev/sdb1 /media/My\\040Disk vfat rw 0 0\n"
                  "/dev/sda1 /mnt/data ext4 rw 0 0\n"
                  "server:/x /mnt/data cifs rw 0 0\n"
                  "garbage\n");
    EXPECT_EQ(texts(pa::listDrives(m.source)),
              (std::vector<std::string>{"/media/My Disk: (removable disk)",
                                        "/mnt/data: (network drive)"}));
}

TEST(DriveBox, MissingMountTableGivesNoDrives) {
    pa::TDriveSource source;
    source.mountTable = tempPath("none");
    EXPECT_TRUE(pa::listDrives(source).empty());
}

TEST(DriveBox, BoxIsADropDownListFilledWhenItsWindowComesIntoBeing) {
    FakeMachine m("/dev/sr0 /media/cdrom iso9660 ro 0 0\n"
                  "/dev/sda1 / ext4 rw 0 0\n");
    pa::TDriveBox box(nullptr, m.source);
    EXPECT_FALSE(box.isEditable());
    EXPECT_EQ(box.count(), 0);
    box.show();
    ASSERT_EQ(box.count(), 2);
    EXPECT_EQ(box.itemText(0), "/: (fixed disk)");
    EXPECT_EQ(box.itemText(1), "/media/cdrom: (CD-ROM)");
    // Shown again: not listed twice.
    box.hide();
    box.show();
    EXPECT_EQ(box.count(), 2);
}

TEST(DriveBox, RegisteredOnThePageLibPa) {
    pa::registerDriveBox();
    EXPECT_EQ(pa::paletteComponents("LibPa"), (std::vector<std::string>{"TDriveBox"}));
}

TEST(DriveBox, ThisMachineListsItsRoot) {
    const auto drives = pa::listDrives();
    ASSERT_FALSE(drives.empty());
    EXPECT_EQ(drives.front().root, "/");
}

} // namespace
