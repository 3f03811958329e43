#pragma once
// `mount` and `umount` shims first on PATH for a kernel without vfat: "mount -t vfat DEV DIR"
// mounts DEV with FUSE (fusefat, read-write) and returns once DIR is a mount point;
// "umount DIR" unmounts it and waits until fusefat has written everything and ended. Calls are
// logged one per line ("mount -t vfat DEV DIR", "umount DIR"). Whatever is still mounted when the
// fixture goes is unmounted then.

#include "shimdir.h"
#include "testenv.h"

#include <QDir>

namespace q5test
{

class FatMountShim
{
public:
    FatMountShim()
    {
        const QByteArray state = _shims.path().toLocal8Bit();
        const QByteArray log = _shims.logPath().toLocal8Bit();
        _shims.add(QStringLiteral("mount"),
                   "echo \"mount $*\" >> '" + log +
                       "'\n"
                       "[ \"$1\" = -t ] && [ \"$2\" = vfat ] && [ $# -eq 4 ] || exit 1\n"
                       "dev=$3; dir=$4\n"
                       "key=$(printf %s \"$dir\" | md5sum | cut -c1-16)\n"
                       "fusefat -f -o rw+,fsname=\"$dev\" \"$dev\" \"$dir\" >> '" +
                       state +
                       "/fusefat.log' 2>&1 &\n"
                       "echo $! > '" +
                       state +
                       "'/$key.pid\n"
                       "printf %s \"$dir\" > '" +
                       state +
                       "'/$key.dir\n"
                       "i=0\n"
                       "while [ $i -lt 200 ]; do\n"
                       "  mountpoint -q \"$dir\" && exit 0\n"
                       "  kill -0 $(cat '" +
                       state +
                       "'/$key.pid) 2>/dev/null || exit 32\n"
                       "  sleep 0.05; i=$((i+1))\n"
                       "done\n"
                       "exit 32\n");
        _shims.add(QStringLiteral("umount"),
                   "echo \"umount $*\" >> '" + log + "'\n" + unmountBody(state));
    }

    ~FatMountShim()
    {
        const QByteArray state = _shims.path().toLocal8Bit();
        sh(QStringLiteral("for f in '%1'/*.pid; do [ -e \"$f\" ] || continue; "
                          "fusermount -u \"$(cat \"${f%.pid}.dir\")\"; "
                          "kill $(cat \"$f\") 2>/dev/null; done")
               .arg(QString::fromLocal8Bit(state)),
           20000);
    }

    FatMountShim(const FatMountShim &) = delete;
    FatMountShim &operator=(const FatMountShim &) = delete;

    QString binDir() const { return _shims.path(); }
    QStringList calls() const { return _shims.loggedCalls(); }

private:
    static QByteArray unmountBody(const QByteArray &state)
    {
        return "dir=$1\n"
               "key=$(printf %s \"$dir\" | md5sum | cut -c1-16)\n"
               "fusermount -u \"$dir\" || exit 32\n"
               "pid=$(cat '" +
               state +
               "'/$key.pid 2>/dev/null)\n"
               "i=0\n"
               "while [ -n \"$pid\" ] && kill -0 $pid 2>/dev/null && [ $i -lt 200 ]; do\n"
               "  sleep 0.05; i=$((i+1))\n"
               "done\n"
               "rm -f '" +
               state + "'/$key.pid '" + state +
               "'/$key.dir\n"
               "exit 0\n";
    }

    ShimDir _shims;
};

} // namespace q5test
