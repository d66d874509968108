// Plays short sound files in the GUI thread with Qt Multimedia. A missing file or a
// machine without an audio device plays nothing; the program carries on.
#pragma once

#include <QHash>
#include <QObject>
#include <QString>

class QSoundEffect;

// The file as found in the working directory, else in the program directory, else in
// the installed data directory; empty when it is in none (or the name is empty).
QString ResolveSoundFile(const QString& name);

class SoundPlayer : public QObject {
    Q_OBJECT
public:
    explicit SoundPlayer(QObject* parent = nullptr);
    ~SoundPlayer() override;

    // GUI thread. Starts the sound and returns at once; returns the resolved path,
    // or an empty string when there is nothing to play.
    QString Play(const QString& name);

private:
    QHash<QString, QSoundEffect*> effects_;  // one loaded effect per file, reused
    QHash<QString, bool> reported_missing_;
};
