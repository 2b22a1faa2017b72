#include "platform/FileSystemKind.h"
#include "platform/posix/FileSystemKind.h"

#include <linux/magic.h>
#include <sys/vfs.h>

namespace Platform {

namespace {

struct CKnownFileSystem {
    uint32_t nType;
    const char* szName;
};

// Types that linux/magic.h does not list, from their file systems' own sources.
constexpr uint32_t kGfs2Magic = 0x01161970;
constexpr uint32_t kGpfsMagic = 0x47504653;
constexpr uint32_t kLustreMagic = 0x0BD00BD0;
constexpr uint32_t kOrangeFsMagic = 0x20030528;
constexpr uint32_t kVirtualBoxSharedFolderMagic = 0x786F4256;

constexpr CKnownFileSystem kNetworkFileSystems[] = {
    {NFS_SUPER_MAGIC, "nfs"},
    {SMB_SUPER_MAGIC, "smb"},
    {CIFS_SUPER_MAGIC, "cifs"},
    {SMB2_SUPER_MAGIC, "smb2"},
    {FUSE_SUPER_MAGIC, "fuse"},
    {V9FS_MAGIC, "9p"},
    {CEPH_SUPER_MAGIC, "ceph"},
    {CODA_SUPER_MAGIC, "coda"},
    {AFS_SUPER_MAGIC, "afs"},
    {AFS_FS_MAGIC, "afs"},
    {NCP_SUPER_MAGIC, "ncp"},
    {OCFS2_SUPER_MAGIC, "ocfs2"},
    {kGfs2Magic, "gfs2"},
    {kGpfsMagic, "gpfs"},
    {kLustreMagic, "lustre"},
    {kOrangeFsMagic, "orangefs"},
    {kVirtualBoxSharedFolderMagic, "vboxsf"},
};

} // namespace

std::string Posix::NetworkFileSystemName(uint32_t nTypeNumber) {
    for (const CKnownFileSystem& known : kNetworkFileSystems)
        if (known.nType == nTypeNumber)
            return known.szName;
    return std::string();
}

std::string GetNetworkFileSystemName(const std::string& strPath) {
    struct statfs info;
    if (::statfs(strPath.c_str(), &info) != 0)
        return std::string();
    // f_type is a signed word; the types are 32-bit numbers.
    return Posix::NetworkFileSystemName(static_cast<uint32_t>(info.f_type));
}

} // namespace Platform
