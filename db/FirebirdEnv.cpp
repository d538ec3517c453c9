#include "db/FirebirdEnv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QtGlobal>

#include <unistd.h>

#ifndef TARVICK_FIREBIRD_DIR
#error "TARVICK_FIREBIRD_DIR must name the shipped Firebird configuration directory"
#endif
#ifndef TARVICK_FIREBIRD_INTL
#error "TARVICK_FIREBIRD_INTL must name the system's character set module"
#endif

// The rules here and in data/firebird/env.sh are the same, so that the station and the scripts
// open a database file in the same mode and share the lock files.
namespace {
constexpr const char* kDefaultLockDir = "/tmp/firebird";  // the engine's compiled-in one
constexpr const char* kIntlModule = "intl/libfbintl.so";

bool UsableDir(const QString& path) {
    const QFileInfo info(path);
    return info.isDir() && info.isWritable() && info.isExecutable();
}

// The private directories are named by the effective user id, not by $USER: an environment
// carried over from another account (su, sudo -E) or one without USER must not lead to a
// directory that another account owns.
QString UserTag() {
    return QString::number(::geteuid());
}

bool DefaultLockDirUsable() {
    if (QFileInfo::exists(kDefaultLockDir)) return UsableDir(kDefaultLockDir);
    return UsableDir(QFileInfo(kDefaultLockDir).absolutePath());
}

bool SameFile(const QString& a, const QString& b) {
    QFile fa(a), fb(b);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly)) return false;
    return fa.size() == fb.size() && fa.readAll() == fb.readAll();
}

// Another process may be loading the file this moment (a station and a tool started together,
// tests side by side): it is written under a temporary name beside it and renamed into place, so
// a reader sees the old file or the new one whole, and left alone when it is already the same.
bool CopyOver(const QString& from, const QString& to) {
    if (SameFile(from, to)) return true;
    QFile source(from);
    if (!source.open(QIODevice::ReadOnly)) return false;
    QSaveFile target(to);
    target.setDirectWriteFallback(false);
    if (!target.open(QIODevice::WriteOnly)) return false;
    const QByteArray bytes = source.readAll();
    if (target.write(bytes) != bytes.size()) {
        target.cancelWriting();
        return false;
    }
    return target.commit();
}

// The engine loads character sets only from a real file under $FIREBIRD/intl (it refuses a
// symbolic link), so a configuration without one is staged with a copy of the system's module.
QString ConfigurationRoot(const QString& shipped) {
    const QFileInfo module(shipped + kIntlModule);
    if (module.isFile() && !module.isSymLink()) return shipped;
    const QString systemModule = QStringLiteral(TARVICK_FIREBIRD_INTL);
    if (!QFileInfo(systemModule).isFile()) return shipped;
    const QString stage = QDir::tempPath() + "/tarvick-firebird-" + UserTag() + "/";
    if (!QDir().mkpath(stage + "intl") || !UsableDir(stage)) return shipped;
    if (!CopyOver(shipped + "firebird.conf", stage + "firebird.conf") ||
        !CopyOver(systemModule, stage + kIntlModule))
        return shipped;
    return stage;
}
}  // namespace

std::string FirebirdConfigDir(const std::string& programDir) {
    const QString own = QString::fromStdString(programDir) + "firebird/";
    if (QFileInfo::exists(own + "firebird.conf")) return own.toStdString();
    return std::string(TARVICK_FIREBIRD_DIR) + "/";
}

void PrepareFirebirdEnvironment(const std::string& programDir) {
    if (!qEnvironmentVariableIsSet("FIREBIRD")) {
        const QString root =
            ConfigurationRoot(QString::fromStdString(FirebirdConfigDir(programDir)));
        qputenv("FIREBIRD", root.toLocal8Bit());
    }
    if (!qEnvironmentVariableIsSet("FIREBIRD_LOCK") && !DefaultLockDirUsable()) {
        const QString dir = QDir::tempPath() + "/firebird-lock-" + UserTag();
        QDir().mkpath(dir);
        QFile::setPermissions(
            dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        qputenv("FIREBIRD_LOCK", dir.toLocal8Bit());
    }
}
