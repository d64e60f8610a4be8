#include "tests/desktop/DesktopTestSupport.h"

#include "desktop/dialogs/CKEnterEmail.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <cstdlib>
#include <stdexcept>

namespace desktoptest {
namespace {

QString& rootStorage()
{
    static QString root;
    return root;
}

QString env(const char* name)
{
    return qEnvironmentVariable(name);
}

} // namespace

ScratchHome::ScratchHome()
{
    const QString base = qEnvironmentVariableIsSet("KIST_TEST_TMP") ? env("KIST_TEST_TMP") : QStringLiteral("/tmp");
    QByteArray pattern = (base + "/kist-desk-XXXXXX").toLocal8Bit();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create the scratch folder");
    rootStorage() = QString::fromLocal8Bit(pattern);
    const QString home = rootStorage() + "/home";
    QDir().mkpath(home + "/Desktop");
    QDir().mkpath(home + "/.local/share");
    QDir().mkpath(home + "/.config");
    QDir().mkpath(rootStorage() + "/tmp");
    QFile::setPermissions(rootStorage() + "/tmp", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("HOME", home.toLocal8Bit());
    qputenv("XDG_DATA_HOME", (home + "/.local/share").toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (home + "/.config").toLocal8Bit());
    qputenv("XDG_DESKTOP_DIR", (home + "/Desktop").toLocal8Bit());
    qputenv("XDG_CACHE_HOME", (home + "/.cache").toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", (rootStorage() + "/tmp").toLocal8Bit());
    qputenv("TMPDIR", (rootStorage() + "/tmp").toLocal8Bit());
    qunsetenv("KORVELIN_UPDATE_SERVER");
}

ScratchHome::~ScratchHome()
{
    if (rootStorage().isEmpty() || qEnvironmentVariableIsSet("KIST_KEEP_SCRATCH"))
        return;
    // Read-only leftovers must become removable before the tree goes.
    QDirIterator it(rootStorage(), QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString dir = it.next();
        QFile::setPermissions(dir, QFile::permissions(dir) | QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    QDir(rootStorage()).removeRecursively();
}

const QString& scratchRoot()
{
    return rootStorage();
}

QString makeFolder(const QString& hint)
{
    static int counter = 0;
    const QString path = QStringLiteral("%1/%2-%3").arg(scratchRoot(), hint).arg(++counter);
    QDir().mkpath(path);
    return path;
}

QString writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write " + path.toStdString());
    return path;
}

QString writeFile(const QString& path, qint64 size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 31 + seed * 7 + (i >> 11)) & 0xff);
    return writeFile(path, bytes);
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

void resetProfile()
{
    const QString data = env("XDG_DATA_HOME");
    QDir(data + "/kist").removeRecursively();
    QDir(data + "/Brannoway").removeRecursively();
    QDir(env("XDG_DESKTOP_DIR") + "/KORVELIN Restored Files").removeRecursively();
}

std::unique_ptr<Kist> openVault(const std::string& password)
{
    auto kist = std::make_unique<Kist>(true);
    if (kist->isEmptyPassword())
        kist->setPassword(password, "");
    else if (!kist->login(password))
        throw std::runtime_error("wrong test password");
    return kist;
}

QStringList listedNames(Kist& kist)
{
    std::vector<KistFile*> files;
    kist.listFiles(files);
    QStringList names;
    for (KistFile* file : files) {
        names.append(QString::fromStdString(file->name));
        delete file;
    }
    return names;
}

void clearDialogHooks()
{
    MessageBox::clearAsked();
    FileDialog::clearAsked();
    CKEnterEmail::clearAnswers();
}

} // namespace desktoptest
