#include "desktop/FileDialog.h"

#include <QQueue>

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
    else if (!state.answerAll)
        record.answer = show();
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
