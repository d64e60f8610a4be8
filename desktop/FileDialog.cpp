#include "desktop/FileDialog.h"

#include <QQueue>

#include "desktop/ScreenFit.h"

namespace {

struct Hooks {
    QQueue<QString> nextFileNames;
    QQueue<QString> nextDirNames;
    bool answerAll = false;
    QList<FileDialog::Asked> asked;
};

Hooks& hooks()
{
    static Hooks instance;
    return instance;
}

} // namespace

QString FileDialog::answer(Kind kind, const QString& caption, const QString& startAt, const QString& filter,
                           const std::function<QString()>& show)
{
    Hooks& state = hooks();
    QQueue<QString>& queue = kind == Kind::ExistingDirectory ? state.nextDirNames : state.nextFileNames;
    Asked record{kind, caption, startAt, filter, {}};
    if (!queue.isEmpty())
        record.answer = queue.dequeue();
    else if (!state.answerAll) {
        // A chooser larger than a scaled-up screen is shrunk to fit it.
        ScreenFit::install();
        record.answer = show();
    }
    state.asked.append(record);
    return record.answer;
}

QString FileDialog::getExistingDirectory(QWidget* parent, const QString& caption, const QString& dir,
                                         QFileDialog::Options options)
{
    return answer(Kind::ExistingDirectory, caption, dir, {},
                  [&] { return QFileDialog::getExistingDirectory(parent, caption, dir, options); });
}

QString FileDialog::getOpenFileName(QWidget* parent, const QString& caption, const QString& dir,
                                    const QString& filter, QFileDialog::Options options)
{
    return answer(Kind::OpenFileName, caption, dir, filter,
                  [&] { return QFileDialog::getOpenFileName(parent, caption, dir, filter, nullptr, options); });
}

QStringList FileDialog::getOpenFileNames(QWidget* parent, const QString& caption, const QString& dir,
                                         const QString& filter, QFileDialog::Options options)
{
    // Joined by NUL, the one character no path holds.
    const QString chosen = answer(Kind::OpenFileNames, caption, dir, filter, [&] {
        return QFileDialog::getOpenFileNames(parent, caption, dir, filter, nullptr, options).join(QChar(u'\0'));
    });
    return chosen.isEmpty() ? QStringList() : chosen.split(QChar(u'\0'));
}

QString FileDialog::getSaveFileName(QWidget* parent, const QString& caption, const QString& dir,
                                    const QString& filter, QFileDialog::Options options)
{
    return answer(Kind::SaveFileName, caption, dir, filter,
                  [&] { return QFileDialog::getSaveFileName(parent, caption, dir, filter, nullptr, options); });
}

void FileDialog::setNextFileName(const QString& fileName)
{
    hooks().nextFileNames.enqueue(fileName);
}

void FileDialog::setNextFileNames(const QStringList& fileNames)
{
    hooks().nextFileNames.enqueue(fileNames.join(QChar(u'\0')));
}

void FileDialog::setNextDirName(const QString& dirName)
{
    hooks().nextDirNames.enqueue(dirName);
}

void FileDialog::answerAllWithoutShowing(bool on)
{
    hooks().answerAll = on;
}

const QList<FileDialog::Asked>& FileDialog::asked()
{
    return hooks().asked;
}

void FileDialog::clearAsked()
{
    hooks().asked.clear();
    hooks().nextFileNames.clear();
    hooks().nextDirNames.clear();
}

FileDialog::Asked FileDialog::lastAsked()
{
    if (hooks().asked.isEmpty())
        return Asked{Kind::ExistingDirectory, {}, {}, {}, {}};
    return hooks().asked.last();
}
