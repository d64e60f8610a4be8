#pragma once

#include <QFileDialog>
#include <functional>
#include <QList>
#include <QString>

class QWidget;

// Every file and folder chooser of the program goes through here. Tests set
// the next answer (an empty text is a cancelled chooser) and read what was
// asked; no chooser is then shown.
class FileDialog {
public:
    enum class Kind { ExistingDirectory, OpenFileName, OpenFileNames, SaveFileName };

    struct Asked {
        Kind kind;
        QString caption;
        QString startAt; // the folder or file the chooser proposed
        QString filter;
        QString answer;
    };

    static QString getExistingDirectory(QWidget* parent, const QString& caption, const QString& dir,
                                        QFileDialog::Options options = QFileDialog::ShowDirsOnly);
    static QString getOpenFileName(QWidget* parent, const QString& caption, const QString& dir,
                                   const QString& filter = QString(), QFileDialog::Options options = {});
    // Several files at once.
    static QStringList getOpenFileNames(QWidget* parent, const QString& caption, const QString& dir,
                                        const QString& filter = QString(), QFileDialog::Options options = {});
    static QString getSaveFileName(QWidget* parent, const QString& caption, const QString& dir,
                                   const QString& filter = QString(), QFileDialog::Options options = {});

    // Test hooks: the answer of the next file chooser (open or save) and of
    // the next folder chooser. With answerAllWithoutShowing, a chooser
    // without a queued answer is cancelled without being shown.
    static void setNextFileName(const QString& fileName);
    // The answer of the next chooser of several files (empty: cancelled).
    static void setNextFileNames(const QStringList& fileNames);
    static void setNextDirName(const QString& dirName);
    static void answerAllWithoutShowing(bool on);
    static const QList<Asked>& asked();
    static void clearAsked();
    static Asked lastAsked();

private:
    static QString answer(Kind kind, const QString& caption, const QString& startAt, const QString& filter,
                          const std::function<QString()>& show);
};
